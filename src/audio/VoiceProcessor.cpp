#include "VoiceProcessor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <QLoggingCategory>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

Q_LOGGING_CATEGORY(lcVoiceProcessor, "murmex.audio", QtInfoMsg)

namespace {

static_assert((VoiceProcessor::farEndCapacityFrames & (VoiceProcessor::farEndCapacityFrames - 1)) == 0,
              "the far-end ring indexes with a mask");
constexpr uint64_t farEndMask = VoiceProcessor::farEndCapacityFrames - 1;

int clampedDelayMs(std::chrono::milliseconds delay)
{
    // The module warns about and truncates anything outside 0–500 ms.
    return int(std::clamp<std::chrono::milliseconds::rep>(delay.count(), 0, 500));
}

} // namespace

struct VoiceProcessor::Engine {
    std::unique_ptr<webrtc::AudioProcessing> module;
    const webrtc::StreamConfig stream{sampleRate, 1};

    // Far-end ring: analyzeFarEnd() advances `farEndWritten`, the near-end thread `farEndRead`.
    // Both only grow; their difference is the number of frames waiting.
    std::array<float, farEndCapacityFrames> farEnd{};
    alignas(64) std::atomic<uint64_t> farEndWritten{0};
    alignas(64) std::atomic<uint64_t> farEndRead{0};
    std::atomic<uint64_t> droppedFarEnd{0};
    std::array<float, blockFrames> farEndBlock{};
    // Pacing, owned by the near-end thread (see feedFarEnd()).
    bool farEndInStep = false;
    uint64_t droppedFarEndSeen = 0;
    double averageBacklog = 0;
    uint64_t windowMinimumBacklog = 0;
    int windowBlocks = 0;

    // Near end, owned by its thread: the block being captured fills at `position` while the
    // processed previous block is handed out from the same position.
    std::array<float, blockFrames> captured{};
    std::array<float, blockFrames> processed{};
    size_t position = 0;

    std::atomic<bool> bypassed{false};
    std::atomic<bool> gainControlEnabled{true};
    std::atomic<int> echoDelayMs{clampedDelayMs(defaultEchoDelayEstimate)};
    bool gainControlApplied = true;
    std::atomic<uint64_t> failedBlocks{0};
};

VoiceProcessor::VoiceProcessor(std::unique_ptr<Engine> engine)
    : engine_(std::move(engine))
{
}

VoiceProcessor::~VoiceProcessor() = default;

Expected<std::unique_ptr<VoiceProcessor>> VoiceProcessor::create()
{
    const auto fail = [](const char *call, int code) {
        qCWarning(lcVoiceProcessor, "Voice processing unavailable: %s failed (%d)", call, code);
        return std::unexpected(Error{QStringLiteral("Murmex"), 20, QStringLiteral("El formato del micrófono no es compatible.")});
    };

    webrtc::Config config;
    // On by default in this version. It takes the gain over from the adaptive digital mode to steer
    // an analogue microphone level that nobody applies, so quiet speech is never raised; and it
    // allocates on first use, which would be on the audio thread.
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    // The true delay between the sink's monitor and the microphone depends on both devices'
    // buffering. With this the canceller finds it by itself (after about 15 s); without it, a
    // reported delay off by more than a few tens of milliseconds leaves the echo uncancelled.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));

    auto engine = std::make_unique<Engine>();
    engine->module.reset(webrtc::AudioProcessing::Create(config));
    if (!engine->module)
        return fail("AudioProcessing::Create", -1);
    webrtc::AudioProcessing &module = *engine->module;

    webrtc::ProcessingConfig processing;
    for (webrtc::StreamConfig &stream : processing.streams)
        stream = engine->stream;
    using Apm = webrtc::AudioProcessing;
    if (const int result = module.Initialize(processing); result != Apm::kNoError)
        return fail("Initialize", result);

    // The full canceller rather than the mobile one: it is the one meant for computers, the only
    // one that can estimate the delay itself, and here it also costs less per block.
    webrtc::EchoCancellation &echo = *module.echo_cancellation();
    if (const int result = echo.set_suppression_level(webrtc::EchoCancellation::kModerateSuppression); result != Apm::kNoError)
        return fail("EchoCancellation::set_suppression_level", result);
    if (const int result = echo.Enable(true); result != Apm::kNoError)
        return fail("EchoCancellation::Enable", result);

    webrtc::NoiseSuppression &noise = *module.noise_suppression();
    if (const int result = noise.set_level(webrtc::NoiseSuppression::kModerate); result != Apm::kNoError)
        return fail("NoiseSuppression::set_level", result);
    if (const int result = noise.Enable(true); result != Apm::kNoError)
        return fail("NoiseSuppression::Enable", result);

    if (const int result = module.high_pass_filter()->Enable(true); result != Apm::kNoError)
        return fail("HighPassFilter::Enable", result);

    // Enabled once here even if it is switched off later: enabling creates its state, and
    // re-enabling an existing one only resets it, which the near-end thread may then do.
    webrtc::GainControl &gain = *module.gain_control();
    if (const int result = gain.set_mode(webrtc::GainControl::kAdaptiveDigital); result != Apm::kNoError)
        return fail("GainControl::set_mode", result);
    if (const int result = gain.Enable(true); result != Apm::kNoError)
        return fail("GainControl::Enable", result);

    return std::unique_ptr<VoiceProcessor>(new VoiceProcessor(std::move(engine)));
}

void VoiceProcessor::setBypassed(bool bypassed)
{
    engine_->bypassed.store(bypassed, std::memory_order_relaxed);
}

void VoiceProcessor::setGainControlEnabled(bool enabled)
{
    engine_->gainControlEnabled.store(enabled, std::memory_order_relaxed);
}

void VoiceProcessor::setEchoDelayEstimate(std::chrono::milliseconds delay)
{
    engine_->echoDelayMs.store(clampedDelayMs(delay), std::memory_order_relaxed);
}

uint64_t VoiceProcessor::droppedFarEndFrames() const
{
    return engine_->droppedFarEnd.load(std::memory_order_relaxed);
}

uint64_t VoiceProcessor::failedBlocks() const
{
    return engine_->failedBlocks.load(std::memory_order_relaxed);
}

void VoiceProcessor::analyzeFarEnd(const float *samples, size_t frames)
{
    Engine &e = *engine_;
    const uint64_t written = e.farEndWritten.load(std::memory_order_relaxed);
    const uint64_t read = e.farEndRead.load(std::memory_order_acquire);
    const size_t space = farEndCapacityFrames - size_t(written - read);
    const size_t accepted = std::min(frames, space);
    if (accepted < frames)
        e.droppedFarEnd.fetch_add(frames - accepted, std::memory_order_relaxed);

    const size_t start = size_t(written & farEndMask);
    const size_t beforeWrap = std::min(accepted, farEndCapacityFrames - start);
    std::copy_n(samples, beforeWrap, e.farEnd.begin() + start);
    std::copy_n(samples + beforeWrap, accepted - beforeWrap, e.farEnd.begin());
    e.farEndWritten.store(written + accepted, std::memory_order_release);
}

void VoiceProcessor::processNearEnd(float *samples, size_t frames)
{
    Engine &e = *engine_;
    while (frames > 0) {
        const size_t count = std::min(frames, blockFrames - e.position);
        std::copy_n(samples, count, e.captured.begin() + e.position);
        std::copy_n(e.processed.begin() + e.position, count, samples);
        e.position += count;
        samples += count;
        frames -= count;
        if (e.position == blockFrames) {
            processBlock();
            e.position = 0;
        }
    }
}

void VoiceProcessor::processBlock()
{
    Engine &e = *engine_;
    applySettings();
    if (e.bypassed.load(std::memory_order_relaxed)) {
        // Keep the ring drained so that, back in use, the canceller gets current far-end audio.
        e.farEndRead.store(e.farEndWritten.load(std::memory_order_acquire), std::memory_order_release);
        e.farEndInStep = false;
        e.processed = e.captured;
        return;
    }

    feedFarEnd();
    // The far end waits in the ring before the module sees it, so the module's delay is that much
    // shorter than the one from analyzeFarEnd() to processNearEnd(). The canceller copes with an
    // echo that comes up to about 40 ms later than reported but not with one more than about 5 ms
    // early, so the delay reported errs 15 ms short: that covers the jitter of 10–30 ms chunks.
    constexpr double shortByMs = 15;
    const double delayMs = e.echoDelayMs.load(std::memory_order_relaxed) - e.averageBacklog * 1000 / sampleRate - shortByMs;
    e.module->set_stream_delay_ms(std::max(0, int(std::lround(delayMs))));
    const float *source = e.captured.data();
    float *destination = e.processed.data();
    if (e.module->ProcessStream(&source, e.stream, e.stream, &destination) != webrtc::AudioProcessing::kNoError) {
        e.processed = e.captured;
        e.failedBlocks.fetch_add(1, std::memory_order_relaxed);
    }
}

// Exactly one far-end block goes in before each microphone block. The canceller aligns the two
// streams by counting blocks and moves its alignment whenever the far end it holds grows or
// shrinks, so handing it far-end audio as it arrives, in bursts, keeps it from ever settling.
// The ring absorbs the bursts instead: when it runs dry (nothing playing, or a late burst) the
// module gets silence; what it never needed over the last second (clock drift) is dropped,
// keeping one block in reserve. At the start, and after the ring overflowed because the
// microphone stopped, only the newest block is kept.
void VoiceProcessor::feedFarEnd()
{
    constexpr int windowBlocks = 100;
    Engine &e = *engine_;
    if (const uint64_t dropped = e.droppedFarEnd.load(std::memory_order_relaxed); dropped != e.droppedFarEndSeen) {
        e.droppedFarEndSeen = dropped;
        e.farEndInStep = false;
    }
    uint64_t read = e.farEndRead.load(std::memory_order_relaxed);
    const uint64_t written = e.farEndWritten.load(std::memory_order_acquire);
    if (!e.farEndInStep && written - read > blockFrames)
        read = written - blockFrames;

    if (written - read >= blockFrames) {
        const size_t start = size_t(read & farEndMask);
        const size_t beforeWrap = std::min(blockFrames, farEndCapacityFrames - start);
        std::copy_n(e.farEnd.begin() + start, beforeWrap, e.farEndBlock.begin());
        std::copy_n(e.farEnd.begin(), blockFrames - beforeWrap, e.farEndBlock.begin() + beforeWrap);
        read += blockFrames;
    } else {
        e.farEndBlock.fill(0.0f);
    }
    float *block = e.farEndBlock.data();
    if (e.module->ProcessReverseStream(&block, e.stream, e.stream, &block) != webrtc::AudioProcessing::kNoError)
        e.failedBlocks.fetch_add(1, std::memory_order_relaxed);

    const uint64_t backlog = written - read;
    if (!e.farEndInStep) {
        e.farEndInStep = true;
        e.averageBacklog = double(backlog);
        e.windowMinimumBacklog = backlog;
        e.windowBlocks = 0;
    }
    e.averageBacklog += 0.02 * (double(backlog) - e.averageBacklog);
    e.windowMinimumBacklog = std::min(e.windowMinimumBacklog, backlog);
    if (++e.windowBlocks == windowBlocks) {
        if (e.windowMinimumBacklog > blockFrames) {
            const uint64_t unneeded = e.windowMinimumBacklog - blockFrames;
            read += unneeded;
            e.averageBacklog -= double(unneeded);
        }
        e.windowMinimumBacklog = written - read;
        e.windowBlocks = 0;
    }
    e.farEndRead.store(read, std::memory_order_release);
}

void VoiceProcessor::applySettings()
{
    Engine &e = *engine_;
    const bool wanted = e.gainControlEnabled.load(std::memory_order_relaxed);
    if (wanted == e.gainControlApplied)
        return;
    // Switching it on again restarts its adaptation from the initial gain.
    e.gainControlApplied = wanted;
    if (e.module->gain_control()->Enable(wanted) != webrtc::AudioProcessing::kNoError)
        e.failedBlocks.fetch_add(1, std::memory_order_relaxed);
}
