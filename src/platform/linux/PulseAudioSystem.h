#pragma once

#include "platform/AudioSystem.h"

#include <memory>

// The sound server reached through libpulse: one threaded main loop (thread "murmex-pulse") and one
// context, connected when the object is made. Every query waits a few seconds at most; while the
// server is gone the queries answer none and openCapture() an error, and each call makes one
// bounded attempt to connect again. A lost connection is announced (serverLost) and fails the open
// streams; device events resume once a later call has connected again.
//
// Threads: every member may be called from any thread. Capture callbacks and device listeners run
// on the main loop thread, which holds the main loop lock while they run (a capture's audio can
// only be read there, without copying it). From there they may call stop(), unsubscribe() and the
// destructors: these see that they run on that thread and tear down in place, without waiting.
// The blocking queries and openCapture() cannot wait for their own thread and answer none / an
// error at once there. Elsewhere, stop() and unsubscribe() take the lock, so they return after a
// callback under way has finished; a callback must therefore never wait for another thread that
// may be inside one of these calls. Audio may arrive before openCapture() has returned.
class PulseAudioSystem final : public AudioSystem {
public:
    PulseAudioSystem();
    ~PulseAudioSystem() override;

    std::optional<AudioDeviceInfo> defaultSource() override;
    std::optional<AudioDeviceInfo> defaultSink() override;
    [[nodiscard]] Expected<std::unique_ptr<AudioCaptureStream>>
    openCapture(const QString &device, CaptureFormat format, CaptureCallbacks callbacks, int fragmentMilliseconds) override;
    std::unique_ptr<AudioCuePlayback> prepareCuePlayback(std::shared_ptr<const std::vector<float>> samples, quint32 sampleRate) override;
    int subscribe(std::function<void(const AudioDeviceEvent &)> listener) override;
    void unsubscribe(int handle) override;

private:
    class Connection;
    friend class PulseAudioCaptureStream;
    friend class PulseCuePlayback;
    // Shared with the capture streams, which may outlive this object.
    std::shared_ptr<Connection> connection;
};
