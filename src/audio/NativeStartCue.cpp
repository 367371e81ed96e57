#include "NativeStartCue.h"

#include <QFile>

#include <sndfile.h>
#include <soxr.h>

#include <cmath>
#include <mutex>

namespace {

constexpr double maximumSeconds = 5.0;

std::mutex bundledLock;
std::shared_ptr<const std::vector<float>> bundled;

Error cueError(int code)
{
    static const QString descriptions[] = {
        QStringLiteral("El sonido de inicio no tiene una duración válida."),
        QStringLiteral("El sonido de inicio no pudo convertirse."),
        QStringLiteral("La conversión del sonido de inicio no produjo audio."),
    };
    return Error{QStringLiteral("MurmexCue"), code, descriptions[code - 1]};
}

struct SoundFileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

} // namespace

Expected<std::vector<float>> NativeStartCue::decode(const QString &path)
{
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SoundFileCloser> file(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!file)
        return std::unexpected(Error{QStringLiteral("MurmexAudioFile"), sf_error(nullptr),
                                     QStringLiteral("No se pudo abrir el sonido (%1).").arg(QString::fromUtf8(sf_strerror(nullptr)))});
    if (info.frames < 1 || info.samplerate <= 0 || info.channels <= 0 || double(info.frames) / info.samplerate > maximumSeconds)
        return std::unexpected(cueError(1));

    std::vector<float> interleaved(std::size_t(info.frames) * std::size_t(info.channels));
    const sf_count_t frames = sf_readf_float(file.get(), interleaved.data(), info.frames);
    if (frames < 1)
        return std::unexpected(cueError(3));
    std::vector<float> mono(std::size_t(frames), 0.0f);
    for (std::size_t frame = 0; frame < mono.size(); ++frame) {
        float sum = 0;
        for (int channel = 0; channel < info.channels; ++channel)
            sum += interleaved[frame * std::size_t(info.channels) + std::size_t(channel)];
        mono[frame] = sum / float(info.channels);
    }
    if (info.samplerate == sampleRate)
        return mono.size() <= maximumSamples ? Expected<std::vector<float>>(std::move(mono)) : std::unexpected(cueError(2));

    // One conversion of the whole sound, with the full-length filter: quality over latency here.
    const std::size_t expected = std::size_t(std::ceil(double(mono.size()) * sampleRate / info.samplerate));
    if (expected > maximumSamples)
        return std::unexpected(cueError(2));
    std::vector<float> converted(expected);
    std::size_t produced = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    if (soxr_oneshot(info.samplerate, sampleRate, 1, mono.data(), mono.size(), nullptr, converted.data(), converted.size(), &produced, &io,
                     &quality, nullptr)
        != nullptr)
        return std::unexpected(cueError(2));
    if (produced == 0)
        return std::unexpected(cueError(3));
    converted.resize(produced);
    return converted;
}

void NativeStartCue::setBundledSamples(std::shared_ptr<const std::vector<float>> samples)
{
    std::lock_guard guard(bundledLock);
    bundled = std::move(samples);
}

std::shared_ptr<const std::vector<float>> NativeStartCue::bundledSamples()
{
    std::lock_guard guard(bundledLock);
    return bundled;
}
