#pragma once

#include <expected>
#include <string>
#include <vector>

// A whole sound file decoded into memory: interleaved Float32 frames at the file's own rate.
struct Sound {
    std::vector<float> samples;
    int sampleRate = 0;
    int channels = 0;

    std::size_t frames() const { return channels > 0 ? samples.size() / std::size_t(channels) : 0; }
};

enum class SoundError {
    unreadable, // not a sound file, unreadable, or without a single frame
};

// Reads the whole file at `path` through libsndfile.
[[nodiscard]] std::expected<Sound, SoundError> loadSound(const std::string &path);
