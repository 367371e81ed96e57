#pragma once

#include "dictionary/TranscriptionLanguage.h"
#include "hotkeys/Shortcut.h"
#include "volume/ComputerAudioMode.h"

class Settings;

// The user's choices read at launch. Absent, unknown or out-of-range values give the defaults.
//
//   key                          type                default
//   shortcutKeyCode/Modifiers/Display  integer/integer/string  Ctrl+Alt+Super+D (see Shortcut::load)
//   transcriptionLanguage        "es" | "en" | "ca"  es
//   computerAudioMode            "exclude" | "allow" exclude
//   recordingVolumePercentage    integer             100, clamped to 0…100
//   pushToTalk                   Bool                false (the shortcut toggles)
struct AppSettings {
    Shortcut shortcut;
    TranscriptionLanguage transcriptionLanguage = TranscriptionLanguage::spanish;
    ComputerAudioMode computerAudioMode = ComputerAudioMode::exclude;
    int recordingVolumePercentage = 100;
    // Held shortcut: a dictation lasts as long as the shortcut is held.
    bool pushToTalk = false;

    static AppSettings load(const Settings &settings);
};
