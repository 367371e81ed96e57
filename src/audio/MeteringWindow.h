#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <optional>

// Speech levels of converted 16-bit audio, in dBFS. An aggregating window publishes once per
// 1280 frames (80 ms at 16 kHz); otherwise every buffer publishes. Silence reads -140 dB.
class MeteringWindow {
public:
    struct Levels {
        float average;
        float peak;
    };
    static constexpr int aggregateFrames = 1280;
    static constexpr float initialLevel = -160.0f;

    explicit MeteringWindow(bool aggregates) : aggregates(aggregates) {}

    // Returns the levels to publish, or none while the window is still filling.
    std::optional<Levels> add(const qint16 *samples, quint32 frames, int channels = 1)
    {
        if (frames == 0)
            return std::nullopt;
        for (quint32 i = 0; i < frames * quint32(channels); ++i) {
            const float s = float(samples[i]) / 32767.0f;
            peak = std::max(peak, std::abs(s));
            sumOfSquares += double(s * s);
        }
        sampleCount += qint64(frames) * channels;
        if (aggregates && sampleCount < qint64(channels) * aggregateFrames)
            return std::nullopt;
        const double rms = std::sqrt(sumOfSquares / double(std::max<qint64>(sampleCount, 1)));
        const Levels levels{float(20.0 * std::log10(std::max(rms, 1e-7))), float(20.0 * std::log10(std::max(double(peak), 1e-7)))};
        sumOfSquares = 0;
        peak = 0;
        sampleCount = 0;
        return levels;
    }

private:
    const bool aggregates;
    double sumOfSquares = 0;
    float peak = 0;
    qint64 sampleCount = 0;
};
