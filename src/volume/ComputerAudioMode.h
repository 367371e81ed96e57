#pragma once

#include <QString>

#include <optional>

// Whether the computer's own sound may end up in a recording. It chooses the recorder (the
// voice-processing one cancels the computer's sound) and how the start cue is played.
enum class ComputerAudioMode { exclude, allow };

inline QString rawValue(ComputerAudioMode mode)
{
    return mode == ComputerAudioMode::allow ? QStringLiteral("allow") : QStringLiteral("exclude");
}

inline std::optional<ComputerAudioMode> computerAudioModeFromRawValue(const QString &raw)
{
    if (raw == QLatin1String("exclude"))
        return ComputerAudioMode::exclude;
    if (raw == QLatin1String("allow"))
        return ComputerAudioMode::allow;
    return std::nullopt;
}

inline QString menuTitle(ComputerAudioMode mode)
{
    return mode == ComputerAudioMode::allow ? QStringLiteral("Permitir") : QStringLiteral("No grabar");
}
