#include "WavFileWriter.h"

#include "SegmentFile.h"
#include "support/Log.h"

#include <QFile>

#include <sndfile.h>

#include <cerrno>

namespace {
const QString errorDomain = QStringLiteral("MurmexAudioFile");
constexpr int outOfSpaceCode = ENOSPC;
} // namespace

struct WavFileWriter::File {
    SNDFILE *handle = nullptr;
    ~File()
    {
        if (handle)
            sf_close(handle);
    }
};

WavFileWriter::WavFileWriter(QString path, int sampleRate, std::unique_ptr<File> file)
    : path_(std::move(path)), sampleRate(sampleRate), file_(std::move(file))
{
}

WavFileWriter::~WavFileWriter()
{
    close();
}

Error WavFileWriter::outOfSpaceError()
{
    return Error{errorDomain, outOfSpaceCode, QStringLiteral("No queda espacio en el disco para el audio.")};
}

bool WavFileWriter::isOutOfSpace(const Error &error)
{
    return error.domain == errorDomain && error.code == outOfSpaceCode;
}

Expected<std::unique_ptr<WavFileWriter>> WavFileWriter::create(const QString &path, int sampleRate)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    auto file = std::make_unique<File>();
    file->handle = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file->handle)
        return std::unexpected(Error{errorDomain, sf_error(nullptr),
                                     QStringLiteral("No se pudo crear el archivo de audio (%1).").arg(QString::fromUtf8(sf_strerror(nullptr)))});
    return std::unique_ptr<WavFileWriter>(new WavFileWriter(path, sampleRate, std::move(file)));
}

Expected<void> WavFileWriter::write(const qint16 *samples, qint64 frames)
{
    if (!file_ || !file_->handle)
        return std::unexpected(Error{errorDomain, 1, QStringLiteral("El archivo de audio ya está cerrado.")});
    // libsndfile writes with write(2) and returns right after the one that failed, leaving its errno.
    errno = 0;
    const sf_count_t written = sf_writef_short(file_->handle, samples, frames);
    const int writeError = errno;
    if (written != frames) {
        writeFailed = true;
        if (writeError == ENOSPC || writeError == EDQUOT || writeError == EFBIG)
            return std::unexpected(outOfSpaceError());
        return std::unexpected(Error{errorDomain, sf_error(file_->handle),
                                     QStringLiteral("No se pudo escribir el audio (%1).").arg(QString::fromUtf8(sf_strerror(file_->handle)))});
    }
    // The header is rewritten in place every half second of audio, so that a process killed while
    // recording leaves a file whose header covers all but its last half second (plus one buffer, at
    // most 256 ms). libsndfile's automatic update would rewrite it after every write call instead: a
    // hundred times a second with 10 ms buffers, and after a failed write too, which could change
    // errno before it is read above. No fsync: the written bytes are in the kernel once write(2)
    // returns, which is all a killed process needs; power loss is not what this guards against.
    framesSinceHeaderUpdate += frames;
    if (framesSinceHeaderUpdate >= sampleRate / 2) {
        sf_command(file_->handle, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        framesSinceHeaderUpdate = 0;
    }
    return {};
}

void WavFileWriter::close()
{
    if (!file_)
        return;
    file_.reset();
    if (!writeFailed)
        return;
    // After a failed write the header libsndfile completed at close is checked against the file's
    // length: a write cut short in the middle of a frame leaves a partial frame that the data chunk
    // must not count.
    if (const auto repaired = SegmentFile::repairHeader(path_); !repaired)
        Log::write(QStringLiteral("[MurmexAudio] %1").arg(repaired.error().description));
}
