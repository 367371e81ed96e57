#include "WaveFile.h"

#include <QtEndian>

#include <algorithm>

WaveContent inspectWave(const QByteArray &bytes)
{
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return WaveContent::notWave;

    int bitsPerSample = 0;
    QByteArray samples;
    bool haveData = false;
    qsizetype offset = 12;
    while (offset + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(offset, 4);
        const quint32 declared = qFromLittleEndian<quint32>(bytes.constData() + offset + 4);
        const qsizetype body = offset + 8;
        // A recorder that was stopped early may leave a size that runs past the end.
        const qsizetype size = std::min<qsizetype>(declared, bytes.size() - body);
        if (id == "fmt " && size >= 16)
            bitsPerSample = qFromLittleEndian<quint16>(bytes.constData() + body + 14);
        if (id == "data") {
            samples = bytes.mid(body, size);
            haveData = true;
        }
        offset = body + size + (size & 1);
    }
    if (bitsPerSample == 0 || !haveData)
        return WaveContent::notWave;

    const char silence = bitsPerSample == 8 ? char(0x80) : char(0); // 8-bit samples are unsigned
    const bool silent = std::all_of(samples.cbegin(), samples.cend(), [silence](char c) { return c == silence; });
    return silent ? WaveContent::silent : WaveContent::sound;
}
