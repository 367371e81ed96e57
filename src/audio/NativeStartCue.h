#pragma once

#include "support/Error.h"

#include <QString>

#include <memory>
#include <vector>

// The start sound as the capture plays it itself: decoded once at launch into 16 kHz mono Float32
// and kept for every dictation, so that a capture can hand it to the sound server the moment it
// starts, without touching a file.
namespace NativeStartCue {

inline constexpr int sampleRate = 16000;
inline constexpr std::size_t maximumSamples = 80000; // 5 s

// Reads a sound file of any rate and channel count (channels are averaged) and converts it.
// Errors in domain "MurmexCue": 1 the file holds no frame or more than 5 s; 2 more than
// 80 000 samples would result, or the conversion failed; 3 the conversion produced nothing. A file
// that cannot be opened as sound keeps the reader's own error (domain "MurmexAudioFile").
[[nodiscard]] Expected<std::vector<float>> decode(const QString &path);

// The decoded start sound of this run (thread-safe); none until set, or when it could not be decoded.
void setBundledSamples(std::shared_ptr<const std::vector<float>> samples);
std::shared_ptr<const std::vector<float>> bundledSamples();

} // namespace NativeStartCue
