#include "WavFileWriter.h"

#include <QFile>

#include <sndfile.h>

struct WavFileWriter::File {
    SNDFILE *handle = nullptr;
    ~File()
    {
        if (handle)
            sf_close(handle);
    }
};

WavFileWriter::WavFileWriter(QString path, std::unique_ptr<File> file) : path_(std::move(path)), file_(std::move(file)) {}

WavFileWriter::~WavFileWriter() = default;

Expected<std::unique_ptr<WavFileWriter>> WavFileWriter::create(const QString &path, int sampleRate)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    auto file = std::make_unique<File>();
    file->handle = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file->handle)
        return std::unexpected(Error{QStringLiteral("MurmexAudioFile"), sf_error(nullptr),
                                     QStringLiteral("No se pudo crear el archivo de audio (%1).").arg(QString::fromUtf8(sf_strerror(nullptr)))});
    return std::unique_ptr<WavFileWriter>(new WavFileWriter(path, std::move(file)));
}

Expected<void> WavFileWriter::write(const qint16 *samples, qint64 frames)
{
    if (!file_ || !file_->handle)
        return std::unexpected(Error{QStringLiteral("MurmexAudioFile"), 1, QStringLiteral("El archivo de audio ya está cerrado.")});
    const sf_count_t written = sf_writef_short(file_->handle, samples, frames);
    if (written != frames)
        return std::unexpected(Error{QStringLiteral("MurmexAudioFile"), sf_error(file_->handle),
                                     QStringLiteral("No se pudo escribir el audio (%1).").arg(QString::fromUtf8(sf_strerror(file_->handle)))});
    return {};
}

void WavFileWriter::close()
{
    file_.reset();
}
