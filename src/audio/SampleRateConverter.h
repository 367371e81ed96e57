#pragma once

#include "support/Error.h"

#include <memory>

// Converts mono Float32 audio from one rate to another, in a streaming fashion. Everything is
// allocated at construction, so process() may run on an audio thread.
class SampleRateConverter {
public:
    ~SampleRateConverter();
    [[nodiscard]] static Expected<std::unique_ptr<SampleRateConverter>> create(double inputRate, double outputRate, size_t maximumInputFrames);

    // Converts `inputFrames` frames; returns how many output frames were written (at most
    // `outputCapacity`), or -1 on a converter error.
    long process(const float *input, size_t inputFrames, float *output, size_t outputCapacity);

    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }

private:
    struct State;
    SampleRateConverter(std::unique_ptr<State> state, double inputRate, double outputRate);
    std::unique_ptr<State> state_;
    double inputRate_;
    double outputRate_;
};
