#pragma once

#include <QString>

#include <optional>

// What a recogniser writes that is not speech: bracketed annotations ("[Música]", "(risas)",
// "<blank_audio>"), note symbols, stray white space, and texts made only of noise words or
// punctuation. Returns the cleaned text, or none when nothing spoken is left.
std::optional<QString> speechOnlyTranscript(const QString &text);
