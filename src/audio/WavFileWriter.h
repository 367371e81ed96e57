#pragma once

#include "support/Error.h"

#include <QString>

#include <memory>

// A 16-bit PCM mono WAV file being written. The header is completed when the writer is closed or
// destroyed, so a file stays valid up to its last written frame.
class WavFileWriter {
public:
    ~WavFileWriter();
    WavFileWriter(const WavFileWriter &) = delete;
    WavFileWriter &operator=(const WavFileWriter &) = delete;

    [[nodiscard]] static Expected<std::unique_ptr<WavFileWriter>> create(const QString &path, int sampleRate);

    [[nodiscard]] Expected<void> write(const qint16 *samples, qint64 frames);
    void close();
    const QString &path() const { return path_; }

private:
    struct File;
    WavFileWriter(QString path, std::unique_ptr<File> file);
    QString path_;
    std::unique_ptr<File> file_;
};
