#pragma once

#include "support/Error.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

// Cleans the microphone for dictation while the computer may be playing sound: echo cancellation
// against what the computer plays (the far end), moderate noise suppression, a high-pass filter
// and, when enabled, adaptive digital gain control. 16 kHz mono Float32 in [-1, 1].
//
// Threads: analyzeFarEnd() is called by one thread (the far-end capture), processNearEnd() by one
// other thread (the microphone capture); the setters and counters from any thread. The far end
// only writes into a lock-free single-producer ring; the near-end thread hands the module one
// block of it before each microphone block. So the module, whose calls share one internal mutex,
// is used from one thread only, and neither audio thread ever waits for the other. Settings are
// atomics that the near-end thread applies at its next block.
//
// Neither audio call allocates: every buffer, ours and the module's, is made in create().
class VoiceProcessor {
public:
    static constexpr int sampleRate = 16000;
    static constexpr size_t blockFrames = 160; // the module's 10 ms unit
    static constexpr size_t farEndCapacityFrames = 8192;
    static constexpr std::chrono::milliseconds defaultEchoDelayEstimate{40};

    ~VoiceProcessor();
    VoiceProcessor(const VoiceProcessor &) = delete;
    VoiceProcessor &operator=(const VoiceProcessor &) = delete;

    struct Options {
        // Noise taken out too (the voice-processed stream), or only the echo (the fast microphone
        // capture, which otherwise records the microphone as it is).
        bool noiseSuppression = true;
        // The canceller's stronger suppression of what is left of the echo.
        bool strongEchoSuppression = false;
        // See setEchoDelayEstimate().
        std::chrono::milliseconds echoDelayEstimate = defaultEchoDelayEstimate;
        // How much earlier than a microphone block, in blocks, the far-end block handed over with
        // it arrived (both streams at their earliest). It should cover how much later than its
        // earliest a far-end frame may come (its chunk's length, the scheduler): a far end that runs
        // dry leaves the two a block further apart. More shortens the delay the canceller works with
        // (it must stay above zero); the estimate covers both.
        int farEndReserveBlocks = 1;
    };

    // Error 20 when the module cannot be created or configured for 16 kHz mono.
    [[nodiscard]] static Expected<std::unique_ptr<VoiceProcessor>> create();
    [[nodiscard]] static Expected<std::unique_ptr<VoiceProcessor>> create(const Options &options);

    // Bypassed, the microphone passes through untouched (still one block late, so switching does
    // not shift the stream) and the far end is discarded. Off at creation.
    void setBypassed(bool bypassed);
    // Adaptive digital gain control. On at creation.
    void setGainControlEnabled(bool enabled);
    // About how long after a sound reaches analyzeFarEnd() its echo reaches processNearEnd(), both
    // streams at their earliest (a chunk's frames come with its last one, and the scheduler only
    // ever makes a call late). The canceller finds the delay by itself too, but only after about
    // 15 s. Err short: an estimate up to about 25 ms short still cancels from the first second, one
    // more than about 10 ms long may not. The estimate in force at the first microphone block sets
    // where the canceller starts: the very first echo of a recording is cancelled only when the
    // estimate is within about 10 ms of 15 ms above that delay (the margin the processor takes
    // off): from about 9 ms under to 6 ms over it, by the start cue's echo. Clamped to 0–500 ms;
    // 40 ms unless given at creation.
    void setEchoDelayEstimate(std::chrono::milliseconds delay);

    // What the computer plays, any number of frames. What does not fit in the ring (the near end
    // has stopped draining it) is dropped and counted.
    void analyzeFarEnd(const float *samples, size_t frames);
    // The microphone, processed in place, any number of frames. The output is exactly one block
    // (10 ms) late: the first 160 frames ever returned are silence.
    void processNearEnd(float *samples, size_t frames);

    uint64_t droppedFarEndFrames() const;
    // Calls the module refused: a refused microphone block passes through unprocessed, a refused
    // far-end block or gain-control switch is skipped.
    uint64_t failedBlocks() const;

private:
    struct Engine;
    explicit VoiceProcessor(std::unique_ptr<Engine> engine);
    // `laterNearFrames`: microphone frames of the same call after this block.
    void processBlock(size_t laterNearFrames);
    void prime();
    void feedFarEnd(size_t laterNearFrames);
    void copyFarEnd(uint64_t from, size_t frames, float *destination) const;
    int reportedDelayMs() const;
    void applySettings();

    std::unique_ptr<Engine> engine_;
};
