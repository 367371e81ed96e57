#include "VoiceProcessingRecorder.h"

#include "MicrophoneVoiceIO.h"
#include "SpareVoiceUnit.h"
#include "VoiceProcessedCapture.h"
#include "support/Log.h"
#include "support/StartupTrace.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <map>

Q_LOGGING_CATEGORY(lcVoiceRecorder, "murmex.audio", QtInfoMsg)

namespace {
constexpr auto firstBufferDeadline = std::chrono::seconds(3);
constexpr int firstBufferPollMilliseconds = 20;
} // namespace

Error VoiceProcessingRecorder::errorWithCode(int code)
{
    static const std::map<int, QString> messages{
        {20, QStringLiteral("El formato del micrófono no es compatible.")},
        {21, QStringLiteral("No se pudo preparar el formato del micrófono.")},
        {22, QStringLiteral("Se canceló la preparación del micrófono.")},
        {23, QStringLiteral("El micrófono no entregó audio a tiempo.")},
        {24, QStringLiteral("El audio no pudo procesarse a tiempo.")},
        {25, QStringLiteral("No se pudo convertir el audio del micrófono.")},
    };
    const auto message = messages.find(code);
    return Error{QStringLiteral("Murmex"), code, message == messages.end() ? QString() : message->second};
}

VoiceProcessingRecorder::VoiceProcessingRecorder(AudioSystem &audioSystem, bool excludesComputerAudio)
    : audioSystem(audioSystem), excludesComputerAudio_(excludesComputerAudio)
{
}

VoiceProcessingRecorder::~VoiceProcessingRecorder()
{
    std::lock_guard engineGuard(engineMutationLock);
    stopSessionLocked();
    removeConfigurationObserverLocked();
}

// MARK: - Starting

Expected<void> VoiceProcessingRecorder::startRecording(const QString &segmentFile, const CancellationCheck &isStartupCancelled)
{
    std::lock_guard engineGuard(engineMutationLock);
    if (isStartupCancelled && isStartupCancelled())
        return std::unexpected(errorWithCode(22));

    auto first = startSessionLocked(segmentFile, isStartupCancelled, true);
    if (first)
        return {};
    traceRecordingStartup(QStringLiteral("engine-start-retry-%1").arg(first.error().code));
    qCInfo(lcVoiceRecorder) << "first start failed:" << first.error().description;
    stopSessionLocked();
    if (isStartupCancelled && isStartupCancelled()) {
        if (excludesComputerAudio_)
            SpareVoiceUnit::prepare();
        return first;
    }
    rebuildEngineLocked();
    auto second = startSessionLocked(segmentFile, isStartupCancelled, false);
    if (second)
        return {};
    Log::write(QStringLiteral("[MurmexAudio] No se pudo iniciar la captura: %1 (%2 %3)")
                   .arg(second.error().description, second.error().domain)
                   .arg(second.error().code));
    stopSessionLocked();
    if (excludesComputerAudio_)
        SpareVoiceUnit::prepare();
    return second;
}

Expected<void> VoiceProcessingRecorder::startSessionLocked(const QString &segmentFile, const CancellationCheck &isStartupCancelled,
                                                           bool preferNative)
{
    const bool native = excludesComputerAudio_ && preferNative;
    traceRecordingStartup(QStringLiteral("engine-graph-begin"));
    if (!native && excludesComputerAudio_) {
        const auto input = audioSystem.defaultSource();
        const auto output = audioSystem.defaultSink();
        const std::optional<QString> inputDevice = input ? std::optional(input->name) : std::nullopt;
        const std::optional<QString> outputDevice = output ? std::optional(output->name) : std::nullopt;
        const std::optional<quint32> inputRate = input && input->sampleRate > 0 ? std::optional(input->sampleRate) : std::nullopt;
        const std::optional<quint32> outputRate = output && output->sampleRate > 0 ? std::optional(output->sampleRate) : std::nullopt;
        // A value configured before that is now absent or different means the devices changed
        // under the graph; on the very first start nothing is configured and nothing compared.
        const auto changed = [](const auto &configured, const auto &current) { return configured && configured != current; };
        if (requiresEngineRebuild || changed(configuredInputDevice, inputDevice) || changed(configuredOutputDevice, outputDevice)
            || changed(configuredInputSampleRate, inputRate) || changed(configuredOutputSampleRate, outputRate))
            rebuildEngineLocked();
        if (!voiceProcessingGraphConfigured) {
            engine = makeEngine();
            if (auto configured = engine->configure(); !configured)
                return std::unexpected(configured.error());
            voiceProcessingGraphConfigured = true;
        }
        engine->setBypassed(true);
        engine->setGainControlEnabled(true);
        configuredInputDevice = inputDevice;
        configuredOutputDevice = outputDevice;
        configuredInputSampleRate = inputRate;
        configuredOutputSampleRate = outputRate;
        requiresEngineRebuild = false;
    }
    traceRecordingStartup(QStringLiteral("engine-graph-ready"));
    if (!native && excludesComputerAudio_ && engine) {
        engine->setBypassed(false);
        engine->setGainControlEnabled(true);
    }

    auto file = WavFileWriter::create(segmentFile, CaptureSession::sampleRate);
    if (!file)
        return std::unexpected(file.error());
    auto session = std::make_shared<CaptureSession>(bufferSlotsLocked(), std::move(*file));
    auto window = std::make_shared<MeteringWindow>(native);
    std::weak_ptr<VoiceProcessingRecorder> weakRecorder = weak_from_this();
    std::weak_ptr<CaptureSession> weakSession = session;
    session->onConvertedBuffer = [weakRecorder, window](const qint16 *samples, quint32 frames) {
        const auto levels = window->add(samples, frames);
        if (!levels)
            return;
        if (auto recorder = weakRecorder.lock()) {
            std::lock_guard guard(recorder->stateLock);
            recorder->averagePowerValue = levels->average;
            recorder->peakPowerValue = levels->peak;
        }
    };
    session->onFailure = [weakRecorder, weakSession] {
        if (auto recorder = weakRecorder.lock())
            recorder->reportUnexpectedStop(weakSession);
    };
    if (native) {
        session->startWriter();
        markSessionStarted(session);
        nativeInput = std::make_unique<MicrophoneVoiceIO>(
            audioSystem, [session](const CaptureSession::Buffer &buffer) { session->enqueue(buffer); },
            [session] { session->failProducer(); });
        traceRecordingStartup(QStringLiteral("native-input-begin"));
        if (auto started = nativeInput->start(isStartupCancelled); !started)
            return started;
        traceRecordingStartup(QStringLiteral("engine-started"));
        return waitForFirstWrittenBuffer(*session, isStartupCancelled);
    }

    if (!engine) {
        // Without voice processing the plain microphone stream stands in for the engine.
        engine = makeEngine();
        if (auto configured = engine->configure(); !configured)
            return std::unexpected(configured.error());
        engine->setBypassed(true);
    }
    // Started only once the session has an owner that finishes it (markSessionStarted just below).
    session->startWriter();
    engineSession.store(session.get());
    traceRecordingStartup(QStringLiteral("engine-prepare-begin"));
    traceRecordingStartup(QStringLiteral("engine-prepare-ready"));
    markSessionStarted(session);
    if (isStartupCancelled && isStartupCancelled()) {
        stopSessionLocked();
        if (excludesComputerAudio_)
            SpareVoiceUnit::prepare();
        return std::unexpected(errorWithCode(22));
    }
    if (auto started = engine->start(isStartupCancelled); !started)
        return started;
    traceRecordingStartup(QStringLiteral("engine-started"));
    if (auto written = waitForFirstWrittenBuffer(*session, isStartupCancelled); !written)
        return written;
    installConfigurationObserverLocked(session);
    return {};
}

std::unique_ptr<VoiceProcessedCapture> VoiceProcessingRecorder::makeEngine()
{
    // The stream's callbacks run on the audio thread and reach the session through an atomic
    // pointer: the stream is always stopped before its session finishes.
    return std::make_unique<VoiceProcessedCapture>(
        audioSystem,
        [this](const CaptureSession::Buffer &buffer) {
            if (CaptureSession *session = engineSession.load())
                session->enqueue(buffer);
        },
        [this] {
            if (CaptureSession *session = engineSession.load())
                session->failProducer();
        });
}

void VoiceProcessingRecorder::markSessionStarted(const std::shared_ptr<CaptureSession> &session)
{
    std::lock_guard guard(stateLock);
    recording = true;
    startedAt = std::chrono::steady_clock::now();
    failureReported = false;
    stoppedForLackOfDiskSpace = false;
    averagePowerValue = MeteringWindow::initialLevel;
    peakPowerValue = MeteringWindow::initialLevel;
    activeSession = session;
}

Expected<void> VoiceProcessingRecorder::waitForFirstWrittenBuffer(CaptureSession &session, const CancellationCheck &isStartupCancelled)
{
    const auto deadline = std::chrono::steady_clock::now() + firstBufferDeadline;
    for (;;) {
        if (session.waitForStartupResolution(firstBufferPollMilliseconds)) {
            if (const auto error = session.startupError())
                return std::unexpected(*error);
            traceRecordingStartup(QStringLiteral("microphone-buffer-written"));
            return {};
        }
        if (isStartupCancelled && isStartupCancelled())
            return std::unexpected(errorWithCode(22));
        if (std::chrono::steady_clock::now() >= deadline)
            return std::unexpected(errorWithCode(23));
    }
}

std::shared_ptr<CaptureSession::Slots> VoiceProcessingRecorder::bufferSlotsLocked()
{
    // The input (Float32, 16 kHz, mono) and target (Int16, 16 kHz, mono) formats never change here,
    // so the slots built once serve every session.
    if (!reusableBufferSlots)
        reusableBufferSlots = CaptureSession::makeSlots();
    return reusableBufferSlots;
}

void VoiceProcessingRecorder::prewarm()
{
    std::lock_guard engineGuard(engineMutationLock);
    if (!excludesComputerAudio_)
        return;
    bufferSlotsLocked();
    SpareVoiceUnit::prepare();
}

bool VoiceProcessingRecorder::tryPlayStartCue()
{
    std::lock_guard engineGuard(engineMutationLock);
    std::shared_ptr<CaptureSession> session;
    {
        std::lock_guard guard(stateLock);
        session = activeSession;
    }
    if (!session || !session->didWriteFirstBuffer() || !nativeInput)
        return false;
    return nativeInput->tryPlayStartCue();
}

// MARK: - Stopping

void VoiceProcessingRecorder::stop()
{
    std::lock_guard engineGuard(engineMutationLock);
    stopSessionLocked();
    if (excludesComputerAudio_)
        SpareVoiceUnit::prepare();
}

void VoiceProcessingRecorder::stopSessionLocked()
{
    std::shared_ptr<CaptureSession> session;
    {
        std::lock_guard guard(stateLock);
        session = std::move(activeSession);
        activeSession.reset();
        recording = false;
        startedAt.reset();
    }
    // Producers first, so nothing is inside enqueue() once the session finishes.
    if (nativeInput)
        nativeInput->stop();
    nativeInput.reset();
    removeConfigurationObserverLocked();
    if (engine) {
        engine->setBypassed(true);
        engine->stop();
    }
    engineSession.store(nullptr);
    if (session) {
        traceRecordingStartup(QStringLiteral("recorder-stopped"));
        session->finish();
    }
    if (excludesComputerAudio_)
        forgetEngineLocked(); // the next start builds the voice-processing graph from scratch
}

void VoiceProcessingRecorder::forgetEngineLocked()
{
    engine.reset();
    voiceProcessingGraphConfigured = false;
    requiresEngineRebuild = false;
    configuredInputDevice.reset();
    configuredOutputDevice.reset();
    configuredInputSampleRate.reset();
    configuredOutputSampleRate.reset();
}

void VoiceProcessingRecorder::rebuildEngineLocked()
{
    stopSessionLocked();
    removeConfigurationObserverLocked();
    forgetEngineLocked();
    ++rebuilds;
}

// MARK: - Failures after the start

void VoiceProcessingRecorder::installConfigurationObserverLocked(const std::shared_ptr<CaptureSession> &session)
{
    if (configurationObserver >= 0)
        return;
    std::weak_ptr<VoiceProcessingRecorder> weakRecorder = weak_from_this();
    std::weak_ptr<CaptureSession> weakSession = session;
    const QString inputDevice = configuredInputDevice.value_or(QString());
    const QString outputDevice = configuredOutputDevice.value_or(QString());
    const quint32 inputRate = configuredInputSampleRate.value_or(0);
    const quint32 outputRate = configuredOutputSampleRate.value_or(0);
    configurationObserver = audioSystem.subscribe([=](const AudioDeviceEvent &event) {
        using Kind = AudioDeviceEvent::Kind;
        const bool changed = event.kind == Kind::defaultSourceChanged || event.kind == Kind::defaultSinkChanged || event.kind == Kind::serverLost
            || (event.kind == Kind::sourceChanged && event.device == inputDevice && event.sampleRate != inputRate)
            || (event.kind == Kind::sinkChanged && event.device == outputDevice && event.sampleRate != outputRate)
            || (event.kind == Kind::sourceRemoved && event.device == inputDevice)
            || (event.kind == Kind::sinkRemoved && event.device == outputDevice);
        if (!changed)
            return;
        // Handled on the main thread: the subscription's thread must not wait for a stop.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [weakRecorder, weakSession] {
            auto recorder = weakRecorder.lock();
            auto session = weakSession.lock();
            if (!recorder || !session)
                return;
            {
                std::lock_guard engineGuard(recorder->engineMutationLock);
                std::lock_guard guard(recorder->stateLock);
                if (!recorder->recording || recorder->activeSession != session)
                    return;
                recorder->requiresEngineRebuild = true;
            }
            recorder->reportUnexpectedStop(weakSession);
        }, Qt::QueuedConnection);
    });
}

void VoiceProcessingRecorder::removeConfigurationObserverLocked()
{
    if (configurationObserver >= 0)
        audioSystem.unsubscribe(configurationObserver);
    configurationObserver = -1;
}

void VoiceProcessingRecorder::reportUnexpectedStop(const std::weak_ptr<CaptureSession> &weakSession)
{
    const auto session = weakSession.lock();
    // Start-up errors travel through the session's start-up error instead.
    if (!session || !session->didWriteFirstBuffer())
        return;
    const bool outOfDiskSpace = session->ranOutOfDiskSpace();
    {
        std::lock_guard guard(stateLock);
        if (!recording || failureReported || activeSession != session)
            return;
        failureReported = true;
        stoppedForLackOfDiskSpace = outOfDiskSpace;
    }
    Log::write(outOfDiskSpace ? QStringLiteral("[MurmexAudio] Disco lleno: la grabación se detuvo.")
                              : QStringLiteral("[MurmexAudio] La captura del micrófono se detuvo sola."));
    std::weak_ptr<VoiceProcessingRecorder> weakRecorder = weak_from_this();
    QMetaObject::invokeMethod(QCoreApplication::instance(), [weakRecorder, weakSession] {
        auto recorder = weakRecorder.lock();
        if (!recorder)
            return;
        std::function<void()> handler;
        {
            std::lock_guard engineGuard(recorder->engineMutationLock);
            {
                std::lock_guard guard(recorder->stateLock);
                if (!recorder->recording || recorder->activeSession != weakSession.lock())
                    return;
                handler = std::move(recorder->onUnexpectedStop);
                recorder->onUnexpectedStop = nullptr;
            }
            recorder->stop();
        }
        if (handler)
            handler();
    }, Qt::QueuedConnection);
}

// MARK: - Levels and state

bool VoiceProcessingRecorder::isRecording() const
{
    std::lock_guard engineGuard(engineMutationLock);
    std::lock_guard guard(stateLock);
    if (!recording)
        return false;
    return nativeInput ? nativeInput->isRunning() : (engine && engine->isRunning());
}

double VoiceProcessingRecorder::currentTime() const
{
    std::lock_guard guard(stateLock);
    return startedAt ? std::chrono::duration<double>(std::chrono::steady_clock::now() - *startedAt).count() : 0.0;
}

float VoiceProcessingRecorder::averagePower(int) const
{
    std::lock_guard guard(stateLock);
    return averagePowerValue;
}

float VoiceProcessingRecorder::peakPower(int) const
{
    std::lock_guard guard(stateLock);
    return peakPowerValue;
}

bool VoiceProcessingRecorder::ranOutOfDiskSpace() const
{
    std::lock_guard guard(stateLock);
    return stoppedForLackOfDiskSpace;
}

void VoiceProcessingRecorder::setOnUnexpectedStop(std::function<void()> handler)
{
    std::lock_guard guard(stateLock);
    onUnexpectedStop = std::move(handler);
}

bool VoiceProcessingRecorder::isOnNativeInput() const
{
    std::lock_guard engineGuard(engineMutationLock);
    return nativeInput != nullptr;
}

int VoiceProcessingRecorder::rebuildCount() const
{
    std::lock_guard engineGuard(engineMutationLock);
    return rebuilds;
}
