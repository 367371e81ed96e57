#include "VoiceProcessedCapture.h"

#include "VoiceProcessor.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int fragmentMilliseconds = 10;
}

VoiceProcessedCapture::VoiceProcessedCapture(AudioSystem &audioSystem, BufferCallback onBuffer, std::function<void()> onFailure)
    : audioSystem(audioSystem), onBuffer(std::move(onBuffer)), onFailure(std::move(onFailure))
{
}

VoiceProcessedCapture::~VoiceProcessedCapture()
{
    stop();
}

Expected<void> VoiceProcessedCapture::configure()
{
    if (processor)
        return {};
    auto created = VoiceProcessor::create();
    if (!created)
        return std::unexpected(created.error());
    processor = std::move(*created);
    return {};
}

void VoiceProcessedCapture::setBypassed(bool bypassed)
{
    if (processor)
        processor->setBypassed(bypassed);
}

void VoiceProcessedCapture::setGainControlEnabled(bool enabled)
{
    if (processor)
        processor->setGainControlEnabled(enabled);
}

Expected<void> VoiceProcessedCapture::start(const std::function<bool()> &isCancelled)
{
    if (auto configured = configure(); !configured)
        return configured;
    const auto cancelled = [] { return Error{QStringLiteral("MurmexAudio"), 22, QStringLiteral("Se canceló la preparación del micrófono.")}; };
    if (isCancelled && isCancelled())
        return std::unexpected(cancelled());

    // The far end first, so the canceller already hears the computer when the microphone starts.
    // Without a default sink there is nothing to cancel and the microphone runs alone.
    if (const auto sink = audioSystem.defaultSink()) {
        CaptureCallbacks far;
        VoiceProcessor *processing = processor.get();
        far.onAudio = [processing](const void *samples, quint32 frames) { processing->analyzeFarEnd(static_cast<const float *>(samples), frames); };
        far.onFailure = [](const QString &) {}; // losing the far end only weakens echo cancellation
        if (auto stream = audioSystem.openCapture(sink->name + QStringLiteral(".monitor"), {SampleFormat::float32, 16000, 1}, std::move(far),
                                                  fragmentMilliseconds))
            farEnd = std::move(*stream);
    }

    stopped.store(false);
    CaptureCallbacks near;
    near.onAudio = [this](const void *samples, quint32 frames) { onNearEnd(samples, frames); };
    // An overrun loses audio but the stream goes on; it is counted, not treated as a failure.
    near.onHole = [this](quint32 frames) { lostFrames.fetch_add(frames); };
    near.onFailure = [this](const QString &) {
        if (!stopped.load())
            onFailure();
    };
    auto stream = audioSystem.openCapture(QString(), {SampleFormat::float32, 16000, 1}, std::move(near), fragmentMilliseconds);
    if (!stream) {
        stop();
        return std::unexpected(stream.error());
    }
    nearEnd = std::move(*stream);
    if (isCancelled && isCancelled()) {
        stop();
        return std::unexpected(cancelled());
    }
    running.store(true);
    return {};
}

void VoiceProcessedCapture::onNearEnd(const void *samples, quint32 frames) noexcept
{
    if (stopped.load())
        return;
    const auto *input = static_cast<const float *>(samples);
    // Processed in place in a preallocated buffer, in pieces no larger than a ring slot.
    while (frames > 0) {
        const quint32 piece = std::min<quint32>(frames, CaptureSession::slotFrames);
        std::memcpy(scratch.data(), input, piece * sizeof(float));
        processor->processNearEnd(scratch.data(), piece);
        onBuffer(CaptureSession::Buffer{scratch.data(), piece, SampleFormat::float32, 1});
        input += piece;
        frames -= piece;
    }
}

void VoiceProcessedCapture::stop()
{
    stopped.store(true);
    running.store(false);
    if (nearEnd)
        nearEnd->stop();
    if (farEnd)
        farEnd->stop();
    nearEnd.reset();
    farEnd.reset();
}
