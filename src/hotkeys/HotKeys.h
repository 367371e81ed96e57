#pragma once

#include "Shortcut.h"

// Receives the hot-key events, on the main thread.
class HotKeyListener {
public:
    virtual ~HotKeyListener() = default;
    virtual void dictationHotKeyPressed() = 0;
    virtual void dictationHotKeyReleased() = 0;
    virtual void abortHotKeyPressed() = 0;
};

// The system-wide dictation hot key and the Escape abort key.
class HotKeys {
public:
    enum class Registration {
        registered,
        taken,       // another program holds the combination, or it lacks Control, Alt and Super:
                     // "Atajo no disponible"
        unsupported, // this desktop offers no global hot keys: see unsupportedExplanation()
    };

    virtual ~HotKeys() = default;

    virtual void installHandler(HotKeyListener &listener) = 0;
    virtual void removeHandler() = 0;
    [[nodiscard]] virtual Registration registerDictationHotKey(const Shortcut &shortcut) = 0;
    virtual void unregisterDictationHotKey() = 0;
    // After registerDictationHotKey answered `unsupported`: a sentence for the user saying why
    // and what to do. Empty otherwise.
    [[nodiscard]] virtual QString unsupportedExplanation() const { return {}; }
    // Escape as abort key while a dictation starts or records.
    [[nodiscard]] virtual bool registerAbortHotKey() = 0;
    virtual void unregisterAbortHotKey() = 0;
    // Watches key presses for Escape when the abort key could not be registered.
    virtual void installAbortKeyMonitorFallback() = 0;
};
