#include "VoiceProcessor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <QLoggingCategory>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <utility>

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

// The far end waits in the ring before the module sees it (see feedFarEnd()), so the module's delay
// is that much shorter than the one from analyzeFarEnd() to processNearEnd(). Once it has adapted,
// the canceller copes with an echo that comes up to about 40 ms later than reported but not with one
// more than about 5 ms early, so the delay reported errs this much short of the estimate.
constexpr double reportedShortByMs = 15;

// Blocks of silence processed before the first block: the canceller's start-up phase (see prime()).
constexpr int primingBlocks = 10;

// Far-end samples quieter than this (−80 dBFS) are silence to the pairing (see feedFarEnd()).
constexpr float audibleLevel = 1e-4f;

constexpr int64_t nanosecondsPerFrame = 1'000'000'000 / VoiceProcessor::sampleRate;
static_assert(nanosecondsPerFrame * VoiceProcessor::sampleRate == 1'000'000'000);
constexpr int64_t unknownEpoch = std::numeric_limits<int64_t>::max();

int64_t nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// When a stream's first frame would have arrived had every frame come as early as the stream's
// earliest ones (its epoch): the least of (arrival time − frames so far / rate) over the last one
// to two seconds. A stream hands frames over in chunks, and the scheduler makes some calls late,
// but none early: so the least value is the one without lateness, and a frame's earliest arrival
// (epoch + frame / rate) tells how two streams' frames line up in time without depending on which
// chunk of which stream happened to come first. The window follows a device clock that drifts, and
// forgets a stream's timing after a hole in it (frames lost on the way). One thread notes arrivals.
class ArrivalClock {
public:
    // `frames`: the stream's frames up to the end of this arrival.
    void note(int64_t nowNs, uint64_t frames)
    {
        current = std::min(current, nowNs - int64_t(frames) * nanosecondsPerFrame);
        if (frames >= windowEnd) {
            previous = std::exchange(current, unknownEpoch);
            windowEnd = frames + VoiceProcessor::sampleRate;
        }
    }
    void restart() { *this = ArrivalClock(); }
    int64_t epoch() const { return std::min(previous, current); } // unknownEpoch before the first arrival

private:
    int64_t current = unknownEpoch;
    int64_t previous = unknownEpoch;
    uint64_t windowEnd = 0;
};

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
    // The far end's arrival timing, in the ring's frames: noted by analyzeFarEnd(), whose thread
    // owns `farEndClock`; it starts afresh when frames are dropped, which `farEndClockRestarts` counts.
    ArrivalClock farEndClock;
    std::atomic<int64_t> farEndEpoch{unknownEpoch};
    std::atomic<uint32_t> farEndClockRestarts{0};
    std::array<float, blockFrames> farEndBlock{};
    // Pacing, owned by the near-end thread (see feedFarEnd()).
    ArrivalClock nearEndClock;
    uint64_t nearFrames = 0; // every microphone frame handed to processNearEnd()
    bool farEndInStep = false;
    bool farEndHeard = false; // sound has been handed to the module since the far end was taken up
    uint32_t farEndClockRestartsSeen = 0;
    uint64_t farEndReserve = blockFrames; // how much earlier the far end handed to the module arrived (see feedFarEnd())
    double averageAhead = double(blockFrames); // the same as the blocks find it, averaged
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
    engine->averageAhead = double(engine->farEndReserve);
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
    if (accepted < frames) {
        // The ring's frames no longer follow the far end's time: its timing starts afresh, and the
        // near end takes the far end up anew.
        e.droppedFarEnd.fetch_add(frames - accepted, std::memory_order_relaxed);
        e.farEndClock.restart();
        e.farEndClockRestarts.fetch_add(1, std::memory_order_relaxed);
    }
    e.farEndClock.note(nowNanoseconds(), written + accepted);
    e.farEndEpoch.store(e.farEndClock.epoch(), std::memory_order_relaxed);

    const size_t start = size_t(written & farEndMask);
    const size_t beforeWrap = std::min(accepted, farEndCapacityFrames - start);
    std::copy_n(samples, beforeWrap, e.farEnd.begin() + start);
    std::copy_n(samples + beforeWrap, accepted - beforeWrap, e.farEnd.begin());
    e.farEndWritten.store(written + accepted, std::memory_order_release);
}

void VoiceProcessor::processNearEnd(float *samples, size_t frames)
{
    Engine &e = *engine_;
    e.nearFrames += frames;
    e.nearEndClock.note(nowNanoseconds(), e.nearFrames);
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
        e.farEndHeard = false;
        e.processed = e.captured;
        return;
    }

    if (!e.primed)
        prime();
    feedFarEnd(laterNearFrames);
    e.module->set_stream_delay_ms(reportedDelayMs());
    const float *source = e.captured.data();
    float *destination = e.processed.data();
    if (e.module->ProcessStream(&source, e.stream, e.stream, &destination) != webrtc::AudioProcessing::kNoError) {
        e.processed = e.captured;
        e.failedBlocks.fetch_add(1, std::memory_order_relaxed);
    }
}

// The estimate less how much earlier the far end handed to the module arrived than the microphone
// block, less the margin.
int VoiceProcessor::reportedDelayMs() const
{
    const Engine &e = *engine_;
    const double delayMs = e.echoDelayMs.load(std::memory_order_relaxed) - e.averageAhead * 1000 / sampleRate - reportedShortByMs;
    return std::max(0, int(std::lround(delayMs)));
}

// The canceller passes the microphone through untouched until it has processed 60 ms of blocks
// reporting a steady delay (its start-up phase), which would let the first sound of a recording
// through, such as the echo of the start cue. That phase is spent on silence before the first
// block, with the delay that block reports: the estimate as it is then, less the reserve, which is
// what the far end is paired with once it is taken up. About 0.1 ms of work.
void VoiceProcessor::prime()
{
    Engine &e = *engine_;
    e.primed = true;
    const int delayMs = reportedDelayMs();
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
// The ring absorbs the bursts instead: each microphone block is paired with the far-end block that
// arrived the reserve earlier than it, by both streams' arrival timing (ArrivalClock). That
// pairing does not depend on which stream's chunk happened to come last before the block, which
// would shift it by up to a whole far-end chunk, and it holds from the first block on: the first
// echo of a recording (the start cue, played as soon as capture runs) needs both. Until the far
// end has carried sound the pairing follows the timing block by block, moving only towards newer
// far-end frames: handing over silence, that costs the canceller nothing, and by the first sound
// the timing has settled even if the first chunks came late. When the ring runs dry nonetheless,
// the module gets silence (and the pairing stays a block further apart); what it never needed over
// the last second (clock drift) is dropped, keeping the reserve. After the ring overflowed because
// the microphone stopped, the far end is taken up afresh.
void VoiceProcessor::feedFarEnd(size_t laterNearFrames)
{
    constexpr int windowBlocks = 100;
    Engine &e = *engine_;
    const int64_t reserve = int64_t(e.farEndReserve);
    if (const uint32_t restarts = e.farEndClockRestarts.load(std::memory_order_relaxed); restarts != e.farEndClockRestartsSeen) {
        e.farEndClockRestartsSeen = restarts;
        e.farEndInStep = false;
        e.farEndHeard = false;
    }
    uint64_t read = e.farEndRead.load(std::memory_order_relaxed);
    const uint64_t written = e.farEndWritten.load(std::memory_order_acquire);
    const int64_t farEpoch = e.farEndEpoch.load(std::memory_order_relaxed), nearEpoch = e.nearEndClock.epoch();
    const bool timed = farEpoch != unknownEpoch && nearEpoch != unknownEpoch;
    // The far end's frame count had both streams come as early as they can when this block's last
    // microphone frame came. Frames of the microphone call after this block came after it.
    const auto farEndAtBlockEnd = [&] {
        const int64_t apart = nearEpoch - farEpoch;
        return int64_t(e.nearFrames - laterNearFrames) + (apart >= 0 ? apart + nanosecondsPerFrame / 2 : apart - nanosecondsPerFrame / 2) / nanosecondsPerFrame;
    };

    float *block = e.farEndBlock.data();
    bool paired = false;
    if (timed && !e.farEndHeard) {
        // The block the pairing asks for, once it has arrived and unless it lies before the block
        // counting gives. Frames from before the ring's start (or what was discarded) are silence.
        const int64_t end = farEndAtBlockEnd() - reserve;
        if (end >= int64_t(read + (e.farEndInStep ? blockFrames : 0)) && end <= int64_t(written)) {
            const uint64_t start = uint64_t(std::max(end - int64_t(blockFrames), int64_t(read)));
            const size_t silent = blockFrames - size_t(uint64_t(end) - start);
            std::fill_n(block, silent, 0.0f);
            copyFarEnd(start, blockFrames - silent, block + silent);
            read = uint64_t(end);
            paired = true;
            if (!e.farEndInStep) {
                e.farEndInStep = true;
                e.averageAhead = double(reserve);
                e.windowMinimumBacklog = written - read;
                e.windowBlocks = 0;
            }
        }
    }
    if (!paired && e.farEndInStep && written - read >= blockFrames) {
        copyFarEnd(read, blockFrames, block);
        read += blockFrames;
    } else if (!paired) {
        e.farEndBlock.fill(0.0f);
    }
    if (e.farEndInStep && !e.farEndHeard)
        e.farEndHeard = std::any_of(e.farEndBlock.begin(), e.farEndBlock.end(), [](float sample) { return std::abs(sample) > audibleLevel; });
    if (e.module->ProcessReverseStream(&block, e.stream, e.stream, &block) != webrtc::AudioProcessing::kNoError)
        e.failedBlocks.fetch_add(1, std::memory_order_relaxed);
    if (!e.farEndInStep)
        return; // the ring keeps filling until the pairing's block is there

    // Steady while both streams come in real time; averaged for those that do not (handed over
    // faster than they play).
    const int64_t ahead = timed ? farEndAtBlockEnd() - int64_t(read) : reserve;
    e.averageAhead += 0.02 * (double(ahead) - e.averageAhead);
    e.windowMinimumBacklog = std::min(e.windowMinimumBacklog, written - read);
    if (++e.windowBlocks == windowBlocks) {
        if (e.windowMinimumBacklog > uint64_t(reserve)) {
            const uint64_t unneeded = e.windowMinimumBacklog - uint64_t(reserve);
            read += unneeded;
            e.averageAhead -= double(unneeded);
        }
        e.windowMinimumBacklog = written - read;
        e.windowBlocks = 0;
    }
    e.farEndRead.store(read, std::memory_order_release);
}

void VoiceProcessor::copyFarEnd(uint64_t from, size_t frames, float *destination) const
{
    const Engine &e = *engine_;
    const size_t start = size_t(from & farEndMask);
    const size_t beforeWrap = std::min(frames, farEndCapacityFrames - start);
    std::copy_n(e.farEnd.begin() + start, beforeWrap, destination);
    std::copy_n(e.farEnd.begin(), frames - beforeWrap, destination + beforeWrap);
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
