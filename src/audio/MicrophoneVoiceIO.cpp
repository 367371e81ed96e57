#include "MicrophoneVoiceIO.h"

#include "NativeStartCue.h"
#include "SampleRateConverter.h"
#include "VoiceProcessedCapture.h"
#include "VoiceProcessor.h"
#include "support/Log.h"
#include "support/StartupTrace.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>

Q_LOGGING_CATEGORY(lcVoiceIO, "murmex.audio", QtInfoMsg)

namespace {

constexpr int bootstrapFragmentMilliseconds = 20;
constexpr int farEndFragmentMilliseconds = 10;
constexpr int firstOutputTraceDelayMilliseconds = 100;
constexpr std::chrono::milliseconds startCueReadyBound{100};
// When the computer plays a sound, a loudspeaker is heard about 40 ms after the sink's monitor has
// carried it (the sink's buffer, the air). This capture then gets the echo about 55 ms after the
// monitor stream, both at their earliest (the monitor carries sound about 10 ms before the sink
// plays it, and this capture converts its rate; 53–62 ms on the test desktop, whose echo path is
// 40 ms), and the processor wants that plus the 15 ms it takes off again. 70 ms lies in the middle
// of what cancels the start cue from its first buffer over that spread.
constexpr auto echoDelayEstimate = std::chrono::milliseconds(70);

Error audioError(int code, const QString &description)
{
    return Error{QStringLiteral("MurmexAudio"), code, description};
}

Error cancelledError()
{
    return audioError(22, QStringLiteral("Se canceló la preparación del micrófono."));
}

} // namespace

MicrophoneVoiceIO::MicrophoneVoiceIO(AudioSystem &audioSystem, BufferCallback onBuffer, std::function<void()> onFailure)
    : audioSystem(audioSystem), onBuffer(std::move(onBuffer)), onFailure(std::move(onFailure))
{
}

MicrophoneVoiceIO::~MicrophoneVoiceIO()
{
    stop();
}

qint64 MicrophoneVoiceIO::nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

qint64 MicrophoneVoiceIO::missingFrames(qint64 deviceFrames, double deviceRate)
{
    if (deviceRate <= 0)
        return 0;
    return std::min<qint64>(std::llround(double(deviceFrames) / deviceRate * 16000.0), 1'000'000'000);
}

Expected<void> MicrophoneVoiceIO::start(const std::function<bool()> &isCancelled)
{
    if (isCancelled && isCancelled())
        return std::unexpected(cancelledError());
    bootstrapDeviceFrames = 0;
    bootstrapOutputFrames = 0;
    bootstrapHoleFrames = 0;
    bootstrapHoleAtNanoseconds = 0;
    bootstrapError = 0;
    traceRecordingStartup(QStringLiteral("component-lookup-begin"));

    auto bootstrap = startBootstrap(isCancelled);
    if (bootstrap) {
        traceRecordingStartup(QStringLiteral("voice-unit-promotion-disabled"));
        return {};
    }
    stop();
    if (bootstrap.error().code == 22 || (isCancelled && isCancelled()))
        return std::unexpected(bootstrap.error().code == 22 ? bootstrap.error() : cancelledError());
    traceRecordingStartup(QStringLiteral("bootstrap-unavailable"));
    return startVoiceProcessed(isCancelled);
}

Expected<void> MicrophoneVoiceIO::startBootstrap(const std::function<bool()> &isCancelled)
{
    std::lock_guard guard(lock);
    stopped = 0;
    lastInputNanoseconds = nowNanoseconds();

    const auto source = audioSystem.defaultSource();
    if (!source || source->name.isEmpty())
        return std::unexpected(audioError(27, QStringLiteral("No hay ningún micrófono disponible.")));
    if (source->sampleRate == 0)
        return std::unexpected(audioError(28, QStringLiteral("El micrófono no indica su frecuencia de muestreo.")));
    deviceName = source->name;
    bootstrapDeviceRate = source->sampleRate;

    // The converter exists before the first buffer arrives: nothing is allocated on the audio thread.
    auto converter = SampleRateConverter::create(bootstrapDeviceRate, 16000.0, CaptureSession::slotFrames);
    if (!converter)
        return std::unexpected(converter.error());
    bootstrapConverter = std::move(*converter);
    if (isCancelled && isCancelled())
        return std::unexpected(cancelledError());
    startEchoCancellationLocked();
    if (isCancelled && isCancelled())
        return std::unexpected(cancelledError());

    CaptureCallbacks callbacks;
    callbacks.onAudio = [this](const void *samples, quint32 frames) { onDeviceAudio(samples, frames); };
    callbacks.onHole = [this](quint32 frames) { onDeviceHole(frames); };
    callbacks.onFailure = [this](const QString &) { reportFailure(); };
    auto stream = audioSystem.openCapture(deviceName, {SampleFormat::float32, source->sampleRate, 1}, std::move(callbacks),
                                          bootstrapFragmentMilliseconds);
    if (!stream)
        return std::unexpected(stream.error());
    bootstrapStream = std::move(*stream);
    if (isCancelled && isCancelled())
        return std::unexpected(cancelledError());

    lastInputNanoseconds = nowNanoseconds();
    running = true;
    startHealthMonitor();
    traceRecordingStartup(QStringLiteral("bootstrap-input-started-%1hz").arg(qint64(bootstrapDeviceRate)));
    if (prepareStartCueLocked())
        traceRecordingStartup(QStringLiteral("bootstrap-cue-output-ready"));
    return {};
}

void MicrophoneVoiceIO::startEchoCancellationLocked()
{
    // Only the echo is taken out, strongly, with the delay this capture hears it at: a canceller
    // that knows it within about 10 ms cancels even the very first sound of the recording. The
    // monitor comes in 10 ms chunks, which the scheduler may delay as much again: two far-end
    // blocks (20 ms) in reserve keep the canceller's far end from running dry.
    auto canceller = VoiceProcessor::create(
        {.noiseSuppression = false, .strongEchoSuppression = true, .echoDelayEstimate = echoDelayEstimate, .farEndReserveBlocks = 2});
    if (!canceller) {
        qCWarning(lcVoiceIO) << "no echo cancellation on the fast capture:" << canceller.error().description;
        return;
    }
    (*canceller)->setGainControlEnabled(false);
    const auto sink = audioSystem.defaultSink();
    if (!sink || sink->name.isEmpty())
        return; // nothing plays, nothing to cancel
    CaptureCallbacks farEnd;
    farEnd.onAudio = [processor = canceller->get()](const void *samples, quint32 frames) {
        processor->analyzeFarEnd(static_cast<const float *>(samples), frames);
    };
    farEnd.onFailure = [](const QString &) {}; // losing the far end only weakens echo cancellation
    auto stream = audioSystem.openCapture(sink->name + QStringLiteral(".monitor"), {SampleFormat::float32, 16000, 1}, std::move(farEnd),
                                          farEndFragmentMilliseconds);
    if (!stream) {
        qCWarning(lcVoiceIO) << "no echo cancellation on the fast capture:" << stream.error().description;
        return;
    }
    farEndStream = std::move(*stream);
    echoCanceller = std::move(*canceller);
}

bool MicrophoneVoiceIO::prepareStartCueLocked()
{
    // A cue that cannot be prepared leaves capture running; the start cue then comes from the player.
    if (const auto samples = NativeStartCue::bundledSamples())
        startCue = audioSystem.prepareCuePlayback(samples, NativeStartCue::sampleRate);
    return startCue != nullptr;
}

bool MicrophoneVoiceIO::tryPlayStartCue()
{
    std::shared_ptr<AudioCuePlayback> cue;
    {
        std::lock_guard guard(lock);
        if (!running.load() || !startCue)
            return false;
        cue = startCue;
    }
    // Prepared as the capture started; its stream may need a moment more. A fresh player process
    // would take longer than this wait to sound.
    if (!cue->isReady() && !cue->waitUntilReady(startCueReadyBound))
        return false;
    if (!cue->play())
        return false;
    if (StartupTrace::isEnabled())
        QTimer::singleShot(firstOutputTraceDelayMilliseconds, QCoreApplication::instance(), [cue] {
            if (const qint64 nanoseconds = cue->firstOutputNanoseconds())
                Log::write(QStringLiteral("MURMEX_STARTUP %1 native-cue-first-output").arg(double(nanoseconds) / 1e9, 0, 'f', 6));
        });
    return true;
}

Expected<void> MicrophoneVoiceIO::startVoiceProcessed(const std::function<bool()> &isCancelled)
{
    std::lock_guard guard(lock);
    traceRecordingStartup(QStringLiteral("component-create-begin"));
    traceRecordingStartup(QStringLiteral("component-cold-create"));
    voiceCapture = std::make_unique<VoiceProcessedCapture>(
        audioSystem,
        [this](const CaptureSession::Buffer &buffer) {
            if (stopped.load() == 1)
                return;
            lastInputNanoseconds = nowNanoseconds();
            onBuffer(buffer);
        },
        [this] { reportFailure(); });
    if (auto configured = voiceCapture->configure(); !configured)
        return std::unexpected(audioError(21, configured.error().description));
    traceRecordingStartup(QStringLiteral("component-created"));
    voiceCapture->setBypassed(false);
    voiceCapture->setGainControlEnabled(true);
    traceRecordingStartup(QStringLiteral("unit-configured"));
    if (isCancelled && isCancelled())
        return std::unexpected(cancelledError());
    traceRecordingStartup(QStringLiteral("unit-initialized"));
    lastInputNanoseconds = nowNanoseconds();
    stopped = 0;
    if (auto started = voiceCapture->start(isCancelled); !started)
        return started;
    if (const auto source = audioSystem.defaultSource())
        deviceName = source->name;
    traceRecordingStartup(QStringLiteral("unit-started"));
    running = true;
    startHealthMonitor();
    traceRecordingStartup(QStringLiteral("health-monitor-ready"));
    prepareStartCueLocked();
    return {};
}

void MicrophoneVoiceIO::onDeviceAudio(const void *samples, quint32 frames) noexcept
{
    if (stopped.load() == 1)
        return;
    const auto *input = static_cast<const float *>(samples);
    // Converted in pieces no larger than a ring slot, however much the server delivers at once.
    while (frames > 0) {
        const quint32 piece = std::min<quint32>(frames, CaptureSession::slotFrames);
        const long produced = bootstrapConverter->process(input, piece, bootstrapBuffer.data(), CaptureSession::slotFrames);
        if (produced < 0) {
            int none = 0;
            bootstrapError.compare_exchange_strong(none, -1);
            reportFailure();
            return;
        }
        bootstrapDeviceFrames.fetch_add(piece);
        if (produced > 0) {
            if (echoCanceller)
                echoCanceller->processNearEnd(bootstrapBuffer.data(), size_t(produced));
            bootstrapOutputFrames.fetch_add(produced);
            lastInputNanoseconds = nowNanoseconds();
            onBuffer(CaptureSession::Buffer{bootstrapBuffer.data(), quint32(produced), SampleFormat::float32, 1});
        }
        input += piece;
        frames -= piece;
    }
}

void MicrophoneVoiceIO::onDeviceHole(quint32 frames) noexcept
{
    const qint64 missing = missingFrames(frames, bootstrapDeviceRate);
    if (missing >= holeThresholdFrames) {
        bootstrapHoleFrames.fetch_add(missing);
        bootstrapHoleAtNanoseconds = nowNanoseconds();
    }
}

void MicrophoneVoiceIO::reportFailure()
{
    if (stopped.load() == 0 && onFailure)
        onFailure();
}

void MicrophoneVoiceIO::onDeviceEvent(const AudioDeviceEvent &event)
{
    using Kind = AudioDeviceEvent::Kind;
    switch (event.kind) {
    case Kind::defaultSourceChanged:
    case Kind::serverLost:
        reportFailure();
        break;
    case Kind::sourceChanged:
        if (event.device == deviceName && event.sampleRate != 0 && bootstrapDeviceRate != 0 && double(event.sampleRate) != bootstrapDeviceRate)
            reportFailure();
        break;
    case Kind::sourceRemoved:
        if (event.device == deviceName)
            reportFailure();
        break;
    case Kind::defaultSinkChanged:
    case Kind::sinkChanged:
    case Kind::sinkRemoved:
        break;
    }
}

void MicrophoneVoiceIO::startHealthMonitor()
{
    subscription = audioSystem.subscribe([this](const AudioDeviceEvent &event) { onDeviceEvent(event); });
    {
        std::lock_guard guard(monitorMutex);
        monitorStopping = false;
    }
    monitor = std::thread([this] {
        std::unique_lock guard(monitorMutex);
        while (!monitorWake.wait_for(guard, std::chrono::milliseconds(healthIntervalMilliseconds), [this] { return monitorStopping; })) {
            if (stopped.load() == 0 && nowNanoseconds() - lastInputNanoseconds.load() > silenceLimitNanoseconds)
                reportFailure(); // on every tick while the silence lasts
        }
    });
    pthread_setname_np(monitor.native_handle(), "input-health");
}

void MicrophoneVoiceIO::stopHealthMonitor()
{
    if (subscription >= 0) {
        audioSystem.unsubscribe(subscription);
        subscription = -1;
    }
    {
        std::lock_guard guard(monitorMutex);
        monitorStopping = true;
    }
    monitorWake.notify_all();
    if (monitor.joinable())
        monitor.join();
}

void MicrophoneVoiceIO::stop()
{
    std::lock_guard guard(lock);
    stopped = 1;
    stopHealthMonitor();
    startCue.reset();
    if (bootstrapStream)
        bootstrapStream->stop();
    if (farEndStream)
        farEndStream->stop();
    bootstrapStream.reset();
    farEndStream.reset();
    echoCanceller.reset(); // no stream feeds it any more
    bootstrapConverter.reset();
    if (voiceCapture)
        voiceCapture->stop();
    voiceCapture.reset();
    running = false;
}
