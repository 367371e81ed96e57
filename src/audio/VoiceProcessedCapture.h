#pragma once

#include "CaptureSession.h"
#include "platform/AudioSystem.h"
#include "support/Error.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class VoiceProcessor;

// The microphone processed for speech: the default source at 16 kHz, with the computer's own sound
// (the default sink's monitor) cancelled from it, gain control and noise suppression. Delivers
// Float32 16 kHz mono buffers on the audio thread.
class VoiceProcessedCapture {
public:
    using BufferCallback = std::function<void(const CaptureSession::Buffer &)>;

    VoiceProcessedCapture(AudioSystem &audioSystem, BufferCallback onBuffer, std::function<void()> onFailure);
    ~VoiceProcessedCapture();

    // Creates the processor (the "graph"); may be called before start().
    [[nodiscard]] Expected<void> configure();
    bool isConfigured() const { return processor != nullptr; }
    void setBypassed(bool bypassed);
    void setGainControlEnabled(bool enabled);

    [[nodiscard]] Expected<void> start(const std::function<bool()> &isCancelled);
    void stop();
    bool isRunning() const { return running.load(); }
    quint64 framesLost() const { return lostFrames.load(); }

private:
    void onNearEnd(const void *samples, quint32 frames) noexcept;

    AudioSystem &audioSystem;
    BufferCallback onBuffer;
    std::function<void()> onFailure;
    std::unique_ptr<VoiceProcessor> processor;
    std::unique_ptr<AudioCaptureStream> nearEnd;
    std::unique_ptr<AudioCaptureStream> farEnd;
    std::vector<float> scratch = std::vector<float>(CaptureSession::slotFrames);
    std::atomic<bool> running{false};
    std::atomic<bool> stopped{true};
    std::atomic<quint64> lostFrames{0};
};
