#pragma once

#include <QString>

#include <optional>

// The computer's output volume as the user sees it: 0–100 and whether it is muted.
struct SystemOutputVolumeState {
    int volume = 0;
    bool isMuted = false;
    bool operator==(const SystemOutputVolumeState &) const = default;
};

// The volume of one output device, and which device that is.
struct OutputVolumeReading {
    QString sink; // the sound server's name of the output device
    SystemOutputVolumeState state;
};

// The volume and mute switch of the desktop's output devices. Calls are synchronous and bounded:
// when the sound server does not answer in time they answer none.
class OutputVolume {
public:
    virtual ~OutputVolume() = default;

    // The default output device and its state; none when it cannot be read.
    [[nodiscard]] virtual std::optional<OutputVolumeReading> read() = 0;
    // Sets the device named `sink` (empty: the default one) to `volume` (clamped to 0–100) and the
    // mute switch, then reads it back: the state actually produced, or none when the device is gone
    // or the server did not answer. The balance between the device's channels is kept.
    [[nodiscard]] virtual std::optional<SystemOutputVolumeState> set(const QString &sink, int volume, bool isMuted) = 0;
};
