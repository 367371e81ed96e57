#pragma once

#include "support/Error.h"

#include <QString>

#include <memory>

// A 16-bit PCM mono WAV file being written. Its header is brought up to date every half second of
// audio, so a process killed while writing leaves a valid file; closing or destroying the writer
// completes it up to the last whole frame written.
class WavFileWriter {
public:
    ~WavFileWriter();
    WavFileWriter(const WavFileWriter &) = delete;
    WavFileWriter &operator=(const WavFileWriter &) = delete;

    [[nodiscard]] static Expected<std::unique_ptr<WavFileWriter>> create(const QString &path, int sampleRate);

    // Fails with outOfSpaceError() when the file could not grow (disk or quota full, file size limit).
    [[nodiscard]] Expected<void> write(const qint16 *samples, qint64 frames);
    void close();
    const QString &path() const { return path_; }

    static Error outOfSpaceError();
    static bool isOutOfSpace(const Error &error);

private:
    struct File;
    WavFileWriter(QString path, int sampleRate, std::unique_ptr<File> file);
    QString path_;
    int sampleRate;
    qint64 framesSinceHeaderUpdate = 0;
    bool writeFailed = false;
    std::unique_ptr<File> file_;
};
