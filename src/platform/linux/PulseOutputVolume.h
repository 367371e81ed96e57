#pragma once

#include "platform/OutputVolume.h"

#include <chrono>
#include <memory>

// The output volume through libpulse, over one connection of its own (main loop thread
// "murmex-volume") that starts connecting when the object is made and stays open. A sink's volume
// is the average of its channels as a percentage of the server's normal volume; a set scales the
// channels together, so their balance is kept, and switches mute on the same sink.
//
// Each call waits at most `bound` in all (connecting included) and answers none when that passes.
// A connection that was lost, or never came up, is made again by the next call.
//
// Threads: call from one thread at a time, never from a libpulse callback; the main thread calls it.
class PulseOutputVolume final : public OutputVolume {
public:
    explicit PulseOutputVolume(std::chrono::milliseconds bound = std::chrono::seconds(1));
    ~PulseOutputVolume() override;

    [[nodiscard]] std::optional<OutputVolumeReading> read() override;
    [[nodiscard]] std::optional<SystemOutputVolumeState> set(const QString &sink, int volume, bool isMuted) override;

private:
    class Connection;
    std::unique_ptr<Connection> connection;
};
