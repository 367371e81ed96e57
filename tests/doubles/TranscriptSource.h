#pragma once

#include <QStringList>

#include <utility>

// What a double "hears". Transcripts come from a list given by the test and are handed out in
// order, one per answer actually given (failed, hung and silent requests use none); once the list
// is used up, its last entry repeats. Within an entry the two characters "\n" separate segments.
// Without a list, the transcript is the audio file's name without its extension
// ("segment-002.wav" is heard as "segment-002"). An empty entry is audio without speech.
class TranscriptSource {
public:
    explicit TranscriptSource(QStringList transcripts) : transcripts(std::move(transcripts)) {}

    // The segments of the next transcript, as the test wrote them; none for no speech.
    QStringList take(const QString &audioFileName);

private:
    QStringList transcripts;
    qsizetype next = 0;
};
