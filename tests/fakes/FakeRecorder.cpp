#include "FakeRecorder.h"
#include "TestWav.h"

#include <QFile>

#include <chrono>

FakeRecorder::FakeRecorder(QString segmentFile, double audioSeconds) : segment(std::move(segmentFile))
{
    if (audioSeconds > 0) {
        writeToneWav(segment, audioSeconds);
        return;
    }
    QFile file(segment);
    if (file.open(QIODevice::WriteOnly))
        file.write("RIFF");
}

void FakeRecorder::stop()
{
    recording = false;
    ++stops;
}

void FakeRecorder::setOnUnexpectedStop(std::function<void()> handler)
{
    std::lock_guard lock(mutex);
    onUnexpectedStop = std::move(handler);
}

bool FakeRecorder::hasUnexpectedStopHandler() const
{
    std::lock_guard lock(mutex);
    return bool(onUnexpectedStop);
}

void FakeRecorder::failUnexpectedly(bool diskFull)
{
    outOfDiskSpace = diskFull;
    recording = false;
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex);
        handler = onUnexpectedStop;
    }
    if (handler)
        handler();
}

Expected<std::shared_ptr<DictationAudioRecorder>>
FakeRecorderFactory::makeStartedRecorder(const QString &segmentFile, ComputerAudioMode mode, const RecordingStartupToken &cancellation)
{
    Outcome outcome;
    {
        std::unique_lock lock(mutex);
        segments.append(segmentFile);
        requestedModes.append(mode);
        ++heldAtGate;
        gateChanged.notify_all();
        gateChanged.wait(lock, [this] { return !gateClosed; });
        --heldAtGate;
        if (!outcomes.empty()) {
            outcome = outcomes.front();
            outcomes.pop_front();
        }
    }
    if (cancellation && cancellation->isCancelled())
        return std::unexpected(Error{QStringLiteral("Murmex"), 22, QStringLiteral("Se canceló la preparación del micrófono.")});
    if (!outcome.succeeds)
        return std::unexpected(outcome.error);
    auto recorder = std::make_shared<FakeRecorder>(segmentFile, outcome.audioSeconds);
    if (outcome.stopsAtOnce) {
        recorder->recording = false;
        recorder->outOfDiskSpace = outcome.diskFull;
    }
    std::lock_guard lock(mutex);
    last = recorder;
    return recorder;
}

void FakeRecorderFactory::queue(Outcome outcome)
{
    std::lock_guard lock(mutex);
    outcomes.push_back(std::move(outcome));
}

void FakeRecorderFactory::closeGate()
{
    std::lock_guard lock(mutex);
    gateClosed = true;
}

void FakeRecorderFactory::openGate()
{
    {
        std::lock_guard lock(mutex);
        gateClosed = false;
    }
    gateChanged.notify_all();
}

bool FakeRecorderFactory::waitUntilHeldAtGate(int timeoutMilliseconds)
{
    std::unique_lock lock(mutex);
    return gateChanged.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [this] { return heldAtGate > 0; });
}

bool FakeRecorderFactory::isHeldAtGate() const
{
    std::lock_guard lock(mutex);
    return heldAtGate > 0;
}

std::shared_ptr<FakeRecorder> FakeRecorderFactory::lastRecorder() const
{
    std::lock_guard lock(mutex);
    return last;
}

QStringList FakeRecorderFactory::startedSegments() const
{
    std::lock_guard lock(mutex);
    return segments;
}

QList<ComputerAudioMode> FakeRecorderFactory::modes() const
{
    std::lock_guard lock(mutex);
    return requestedModes;
}
