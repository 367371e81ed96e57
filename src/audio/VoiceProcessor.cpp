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

// The far end waits in the ring before the module sees it, so the module's delay is that much
// shorter than the one from analyzeFarEnd() to processNearEnd(). The canceller copes with an echo
// that comes up to about 40 ms later than reported but not with one more than about 5 ms early, so
// the delay reported errs this much short: that covers the jitter of 10–30 ms chunks.
constexpr double reportedShortByMs = 15;

// Blocks of silence processed before the first block: the canceller's start-up phase (see prime()).
constexpr int primingBlocks = 10;

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
    uint64_t farEndReserve = blockFrames; // frames kept waiting in the ring (see feedFarEnd())
    double averageBacklog = double(blockFrames); // what it is when the far end is taken up
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
    bool primed = false; // owned by the near-end thread
    std::atomic<uint64_t> failedBlocks{0};
};

VoiceProcessor::VoiceProcessor(std::unique_ptr<Engine> engine)
    : engine_(std::move(engine))
{
}

VoiceProcessor::~VoiceProcessor() = default;

Expected<std::unique_ptr<VoiceProcessor>> VoiceProcessor::create()
{
    return create(Options{});
}

Expected<std::unique_ptr<VoiceProcessor>> VoiceProcessor::create(const Options &options)
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
    engine->echoDelayMs = clampedDelayMs(options.echoDelayEstimate);
    engine->farEndReserve = uint64_t(std::max(1, options.farEndReserveBlocks)) * blockFrames;
    engine->averageBacklog = double(engine->farEndReserve);
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
    const auto suppression = options.strongEchoSuppression ? webrtc::EchoCancellation::kHighSuppression : webrtc::EchoCancellation::kModerateSuppression;
    if (const int result = echo.set_suppression_level(suppression); result != Apm::kNoError)
        return fail("EchoCancellation::set_suppression_level", result);
    if (const int result = echo.Enable(true); result != Apm::kNoError)
        return fail("EchoCancellation::Enable", result);

    webrtc::NoiseSuppression &noise = *module.noise_suppression();
    if (const int result = noise.set_level(webrtc::NoiseSuppression::kModerate); result != Apm::kNoError)
        return fail("NoiseSuppression::set_level", result);
    if (const int result = noise.Enable(options.noiseSuppression); result != Apm::kNoError)
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
            processBlock(frames);
            e.position = 0;
        }
    }
}

void VoiceProcessor::processBlock(size_t laterNearFrames)
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

    if (!e.primed)
        prime();
    feedFarEnd(laterNearFrames);
    const double delayMs = e.echoDelayMs.load(std::memory_order_relaxed) - e.averageBacklog * 1000 / sampleRate - reportedShortByMs;
    e.module->set_stream_delay_ms(std::max(0, int(std::lround(delayMs))));
    const float *source = e.captured.data();
    float *destination = e.processed.data();
    if (e.module->ProcessStream(&source, e.stream, e.stream, &destination) != webrtc::AudioProcessing::kNoError) {
        e.processed = e.captured;
        e.failedBlocks.fetch_add(1, std::memory_order_relaxed);
    }
}

// The canceller passes the microphone through untouched until it has processed 60 ms of blocks
// reporting a steady delay (its start-up phase), which would let the first sound of a recording
// through, such as the echo of the start cue. That phase is spent on silence before the first
// block, with the delay that block reports (the estimate as it is then). About 0.1 ms of work.
void VoiceProcessor::prime()
{
    Engine &e = *engine_;
    e.primed = true;
    const int delayMs = std::max(0, int(std::lround(e.echoDelayMs.load(std::memory_order_relaxed) - e.averageBacklog * 1000 / sampleRate - reportedShortByMs)));
    // Both buffers are free now: the far-end block is filled anew for each block, and the processed
    // block has been handed out.
    for (int block = 0; block < primingBlocks; ++block) {
        e.farEndBlock.fill(0.0f);
        float *farEnd = e.farEndBlock.data();
        if (e.module->ProcessReverseStream(&farEnd, e.stream, e.stream, &farEnd) != webrtc::AudioProcessing::kNoError)
            e.failedBlocks.fetch_add(1, std::memory_order_relaxed);
        e.processed.fill(0.0f);
        const float *silence = e.processed.data();
        float *processed = e.processed.data();
        e.module->set_stream_delay_ms(delayMs);
        if (e.module->ProcessStream(&silence, e.stream, e.stream, &processed) != webrtc::AudioProcessing::kNoError)
            e.failedBlocks.fetch_add(1, std::memory_order_relaxed);
    }
}

// Exactly one far-end block goes in before each microphone block. The canceller aligns the two
// streams by counting blocks and moves its alignment whenever the far end it holds grows or
// shrinks, so handing it far-end audio as it arrives, in bursts, keeps it from ever settling.
// The ring absorbs the bursts instead, with a reserve of blocks: taking the far end up only once
// the reserve is there (silence until then) keeps a burst that comes late from shifting the
// alignment in the first second, when the start cue plays. When the ring runs dry nonetheless,
// the module gets silence; what it never needed over the last second (clock drift) is dropped,
// keeping the reserve. After the ring overflowed because the microphone stopped, the far end is
// taken up afresh.
void VoiceProcessor::feedFarEnd(size_t laterNearFrames)
{
    constexpr int windowBlocks = 100;
    Engine &e = *engine_;
    const uint64_t reserve = e.farEndReserve;
    if (const uint64_t dropped = e.droppedFarEnd.load(std::memory_order_relaxed); dropped != e.droppedFarEndSeen) {
        e.droppedFarEndSeen = dropped;
        e.farEndInStep = false;
    }
    uint64_t read = e.farEndRead.load(std::memory_order_relaxed);
    const uint64_t written = e.farEndWritten.load(std::memory_order_acquire);
    // Frames of the microphone call after this block came later than it: so did as many far-end ones.
    if (!e.farEndInStep && written - read >= reserve + blockFrames + laterNearFrames) {
        read = written - reserve - blockFrames - laterNearFrames;
        e.farEndInStep = true;
        e.averageBacklog = double(reserve);
        e.windowMinimumBacklog = reserve;
        e.windowBlocks = 0;
    }

    if (e.farEndInStep && written - read >= blockFrames) {
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
    if (!e.farEndInStep)
        return; // the ring keeps filling until the reserve is there

    // How long the far end waits is read at the newest microphone block of a call: the blocks
    // before it in the same call are older, and their far-end blocks just as much. Frames of the
    // call left over for the next block came after it.
    const uint64_t backlog = written - read;
    if (laterNearFrames < blockFrames)
        e.averageBacklog += 0.02 * (double(backlog) - double(laterNearFrames) - e.averageBacklog);
    e.windowMinimumBacklog = std::min(e.windowMinimumBacklog, backlog);
    if (++e.windowBlocks == windowBlocks) {
        if (e.windowMinimumBacklog > reserve) {
            const uint64_t unneeded = e.windowMinimumBacklog - reserve;
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
