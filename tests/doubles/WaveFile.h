#pragma once

#include <QByteArray>

// What a double can tell about an uploaded or given audio file without decoding it.
enum class WaveContent {
    notWave, // not a RIFF/WAVE file with a format and a data chunk: undecodable
    silent,  // no samples, or only samples of silence: audio without speech
    sound,
};

WaveContent inspectWave(const QByteArray &bytes);
