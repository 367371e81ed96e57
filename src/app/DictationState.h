#pragma once

#include <QString>

// The dictation state machine of AppDelegate.
//
//   idle -> starting          hot-key press, microphone authorised, no start-up or restart in flight
//   starting -> recording     the start-up result is current and its recorder runs
//   starting -> idle          folder or recorder failure (alert), hot-key press, Esc or quit (abort)
//   recording -> transcribing hot-key press with speech detected in existing segments
//   recording -> idle         hot-key press without speech or segments, Esc or quit (abort)
//   transcribing -> idle      the transcription finished or failed
//   transcribing              a hot-key press only beeps
enum class DictationState { idle, starting, recording, transcribing };

inline QString rawValue(DictationState state)
{
    switch (state) {
    case DictationState::starting: return QStringLiteral("starting");
    case DictationState::recording: return QStringLiteral("recording");
    case DictationState::transcribing: return QStringLiteral("transcribing");
    case DictationState::idle: break;
    }
    return QStringLiteral("idle");
}
