#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtEndian>

#include <cmath>
#include <cstring>

// A 16 kHz mono 16-bit WAV file holding a quiet tone: audio that is not silence, for the engine
// doubles and the transcription tests.
inline bool writeToneWav(const QString &path, double seconds)
{
    QByteArray samples;
    const int frames = int(16000 * seconds);
    for (int i = 0; i < frames; ++i) {
        const qint16 sample = qint16(3000 * std::sin(2 * M_PI * 220 * i / 16000.0));
        samples.append(reinterpret_cast<const char *>(&sample), 2);
    }
    QByteArray header("RIFF____WAVEfmt ");
    const auto append32 = [&](quint32 value) { header.append(reinterpret_cast<const char *>(&value), 4); };
    const auto append16 = [&](quint16 value) { header.append(reinterpret_cast<const char *>(&value), 2); };
    append32(16);    // fmt chunk size
    append16(1);     // PCM
    append16(1);     // mono
    append32(16000); // rate
    append32(32000); // bytes per second
    append16(2);     // block align
    append16(16);    // bits per sample
    header.append("data");
    append32(quint32(samples.size()));
    const quint32 riffSize = quint32(header.size() - 8 + samples.size());
    std::memcpy(header.data() + 4, &riffSize, 4);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(header + samples) == header.size() + samples.size();
}

// Frames in the data chunk of a 16-bit mono WAV file, or -1 when it is not one.
inline qint64 wavFrames(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray bytes = file.readAll();
    if (!bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return -1;
    for (qsizetype offset = 12; offset + 8 <= bytes.size();) {
        const quint32 size = qFromLittleEndian<quint32>(bytes.constData() + offset + 4);
        if (bytes.mid(offset, 4) == "data")
            return size / 2;
        offset += 8 + size + (size & 1);
    }
    return -1;
}
