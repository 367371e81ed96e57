#include "FakeAudioSystem.h"

#include <algorithm>

FakeAudioSystem::Stream::Stream(FakeAudioSystem &system, QString device, CaptureFormat format, CaptureCallbacks callbacks)
    : system(system), device_(std::move(device)), format_(format), callbacks(std::move(callbacks))
{
}

FakeAudioSystem::Stream::~Stream()
{
    stop();
    system.forget(this);
}

void FakeAudioSystem::Stream::stop()
{
    std::lock_guard lock(system.mutex); // no delivery is in flight once this returns
    running = false;
}

std::optional<AudioDeviceInfo> FakeAudioSystem::defaultSource()
{
    std::lock_guard lock(mutex);
    return source;
}

std::optional<AudioDeviceInfo> FakeAudioSystem::defaultSink()
{
    std::lock_guard lock(mutex);
    return sink;
}

Expected<std::unique_ptr<AudioCaptureStream>>
FakeAudioSystem::openCapture(const QString &device, CaptureFormat format, CaptureCallbacks callbacks, int)
{
    std::lock_guard lock(mutex);
    const QString name = device.isEmpty() ? (source ? source->name : QString()) : device;
    opened.append(name);
    auto failure = failures.find(device.isEmpty() || (source && device == source->name) ? QString() : device);
    if (failure != failures.end() && failure->second > 0) {
        --failure->second;
        return std::unexpected(Error{QStringLiteral("MurmexAudio"), 5, QStringLiteral("No se pudo abrir el micrófono (prueba).")});
    }
    if (format.sampleRate == 0 && source)
        format.sampleRate = source->sampleRate;
    auto stream = std::make_unique<Stream>(*this, name, format, std::move(callbacks));
    streams.push_back(stream.get());
    return std::unique_ptr<AudioCaptureStream>(std::move(stream));
}

std::unique_ptr<AudioCuePlayback> FakeAudioSystem::prepareCuePlayback(std::shared_ptr<const std::vector<float>> samples, quint32)
{
    class Cue final : public AudioCuePlayback {
    public:
        explicit Cue(std::atomic<int> &played) : played(played) {}
        bool isReady() const override { return true; }
        bool play() override
        {
            if (started)
                return false;
            started = true;
            ++played;
            return true;
        }
        qint64 firstOutputNanoseconds() const override { return 0; }
        std::atomic<int> &played;
        bool started = false;
    };
    if (!samples || samples->empty())
        return nullptr;
    return std::make_unique<Cue>(cuesPlayed);
}

void FakeAudioSystem::failOpening(const QString &device, int times)
{
    std::lock_guard lock(mutex);
    failures[device] = times;
}

int FakeAudioSystem::deliver(const QString &device, const std::vector<float> &samples)
{
    std::lock_guard lock(mutex);
    const QString name = device.isEmpty() && source ? source->name : device;
    int delivered = 0;
    for (Stream *stream : streams) {
        if (stream->device_ != name || !stream->running || !stream->callbacks.onAudio)
            continue;
        stream->callbacks.onAudio(samples.data(), quint32(samples.size()));
        ++delivered;
    }
    return delivered;
}

QStringList FakeAudioSystem::openedDevices() const
{
    std::lock_guard lock(mutex);
    return opened;
}

int FakeAudioSystem::runningStreams() const
{
    std::lock_guard lock(mutex);
    return int(std::count_if(streams.begin(), streams.end(), [](Stream *stream) { return stream->running.load(); }));
}

void FakeAudioSystem::forget(Stream *stream)
{
    std::lock_guard lock(mutex);
    streams.erase(std::remove(streams.begin(), streams.end(), stream), streams.end());
}
