#include "SegmentFile.h"

#include "support/Log.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <sndfile.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

const QString errorDomain = QStringLiteral("MurmexRecording");
constexpr qint64 sizeFieldMaximum = std::numeric_limits<quint32>::max();

// Where a WAV file's size fields are, what they say, and what the file's length says they should.
struct Layout {
    quint32 riffSize = 0;
    quint32 dataSize = 0;
    qint64 dataSizeOffset = 0;
    quint32 expectedRiffSize = 0;
    quint32 expectedDataSize = 0;
    quint16 frameSize = 0;
    bool consistent() const { return riffSize == expectedRiffSize && dataSize == expectedDataSize; }
};

bool isChunkId(const QByteArray &id)
{
    return std::all_of(id.begin(), id.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Walks the chunks. The data chunk keeps its size only when it and the chunks after it end exactly at
// the file's end; otherwise it is the last chunk, sized by the file's length: a writer that never
// completed its header left a data size (0, or one written earlier) short of the audio behind it,
// whose bytes are no chunks.
Expected<Layout> readLayout(QFile &file)
{
    const auto notWav = [&] {
        return std::unexpected(Error{errorDomain, 2, QStringLiteral("El archivo %1 no es un audio WAV con formato y datos.").arg(file.fileName())});
    };
    const qint64 length = file.size();
    const auto chunkHeaderAt = [&](qint64 offset) { return file.seek(offset) ? file.read(8) : QByteArray(); };
    const QByteArray riff = file.seek(0) ? file.read(12) : QByteArray();
    if (riff.size() < 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE")
        return notWav();

    Layout layout;
    layout.riffSize = qFromLittleEndian<quint32>(riff.constData() + 4);
    std::optional<qint64> dataStart;
    bool chainFillsFile = false;
    for (qint64 offset = 12;;) {
        if (dataStart && offset == length) {
            chainFillsFile = true;
            break;
        }
        const QByteArray header = offset + 8 <= length ? chunkHeaderAt(offset) : QByteArray();
        if (header.size() < 8 || (dataStart && !isChunkId(header.left(4))))
            break;
        const quint32 size = qFromLittleEndian<quint32>(header.constData() + 4);
        if (header.startsWith("fmt ")) {
            const QByteArray format = file.read(16);
            if (format.size() < 16)
                return notWav();
            layout.frameSize = qFromLittleEndian<quint16>(format.constData() + 12);
        } else if (header.startsWith("data") && !dataStart) {
            dataStart = offset + 8;
            layout.dataSizeOffset = offset + 4;
            layout.dataSize = size;
            if (size == 0)
                break;
        }
        offset += 8 + qint64(size) + (size & 1);
    }
    if (!dataStart || layout.frameSize == 0)
        return notWav();
    layout.expectedRiffSize = quint32(std::min(length - 8, sizeFieldMaximum));
    const qint64 audioBytes = std::min(length - *dataStart, sizeFieldMaximum);
    layout.expectedDataSize = chainFillsFile ? layout.dataSize : quint32(audioBytes - audioBytes % layout.frameSize);
    return layout;
}

} // namespace

namespace SegmentFile {

Expected<bool> repairHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return std::unexpected(Error{errorDomain, 1, QStringLiteral("No se pudo abrir el segmento %1 (%2).").arg(path, file.errorString())});
    const auto layout = readLayout(file);
    if (!layout)
        return std::unexpected(layout.error());
    if (layout->consistent())
        return false;
    const auto writeSize = [&](qint64 offset, quint32 value) {
        const quint32 bytes = qToLittleEndian(value);
        return file.seek(offset) && file.write(reinterpret_cast<const char *>(&bytes), 4) == 4;
    };
    if (!writeSize(4, layout->expectedRiffSize) || !writeSize(layout->dataSizeOffset, layout->expectedDataSize) || !file.flush())
        return std::unexpected(Error{errorDomain, 1, QStringLiteral("No se pudo escribir el segmento %1 (%2).").arg(path, file.errorString())});
    return true;
}

double audioSeconds(const QString &path)
{
    SF_INFO info{};
    SNDFILE *handle = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!handle)
        return 0;
    sf_close(handle);
    return info.samplerate > 0 ? double(info.frames) / info.samplerate : 0;
}

bool holdsAudio(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto layout = readLayout(file);
    return layout && layout->expectedDataSize >= layout->frameSize;
}

int repairInterruptedRecordings(const QString &recordingsRoot)
{
    int repaired = 0;
    const auto dictations = QDir(recordingsRoot).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &dictation : dictations) {
        const auto segments = QDir(dictation.filePath()).entryInfoList({QStringLiteral("segment-*.wav")}, QDir::Files, QDir::Name);
        for (const QFileInfo &segment : segments) {
            const QString path = segment.filePath();
            const auto result = repairHeader(path);
            if (!result) {
                Log::write(QStringLiteral("[MurmexRecording] No se pudo reparar el segmento %1; se deja como está: %2")
                               .arg(path, result.error().description));
            } else if (*result) {
                ++repaired;
                Log::write(QStringLiteral("[MurmexRecording] Segmento reparado tras un cierre inesperado: %1 (%2 s)")
                               .arg(path, QString::number(audioSeconds(path), 'f', 1)));
            }
        }
    }
    return repaired;
}

} // namespace SegmentFile
