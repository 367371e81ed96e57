#pragma once

#include "audio/RecorderFactory.h"

#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

// A recorder whose levels and failures the test sets. Creating it writes its segment file, as a
// real recorder does.
class FakeRecorder final : public DictationAudioRecorder {
public:
    // `audioSeconds` > 0 writes a WAV file holding that much of a tone instead of a bare header.
    explicit FakeRecorder(QString segment, double audioSeconds = 0);

    bool isRecording() const override { return recording; }
    double currentTime() const override { return seconds; }
    void stop() override;
    void updateMeters() override { ++meterUpdates; }
    float averagePower(int) const override { return average; }
    float peakPower(int) const override { return peak; }
    void setOnUnexpectedStop(std::function<void()> handler) override;
    bool ranOutOfDiskSpace() const override { return outOfDiskSpace; }

    // The device went away (or, with `diskFull`, the file could not grow): the recorder stops and
    // reports it, as from an audio thread.
    void failUnexpectedly(bool diskFull = false);
    bool hasUnexpectedStopHandler() const;

    const QString segment;
    std::atomic<bool> recording{true};
    std::atomic<bool> outOfDiskSpace{false};
    std::atomic<int> stops{0};
    std::atomic<int> meterUpdates{0};
    double seconds = 0;
    float average = -160.0f;
    float peak = -160.0f;

private:
    mutable std::mutex mutex;
    std::function<void()> onUnexpectedStop;
};

// Hands out the outcomes a test queued, one per start, in order; with none queued a start
// succeeds. A test can hold a start-up inside the factory until it opens the gate.
class FakeRecorderFactory final : public RecorderFactory {
public:
    struct Outcome {
        bool succeeds = true;
        bool stopsAtOnce = false;  // started, but stopped again before its owner sees it
        double audioSeconds = 0;   // what its file holds
        bool diskFull = false;     // with stopsAtOnce: it stopped for lack of disk space
        Error error{QStringLiteral("Murmex"), 3, QStringLiteral("No se pudo iniciar el micrófono.")};
    };

    Expected<std::shared_ptr<DictationAudioRecorder>>
    makeStartedRecorder(const QString &segmentFile, ComputerAudioMode mode, const RecordingStartupToken &cancellation) override;
    void warmUp() override { ++warmUps; }

    void queue(Outcome outcome);
    void closeGate();          // later starts wait inside the factory…
    void openGate();           // …until this
    bool waitUntilHeldAtGate(int timeoutMilliseconds);
    bool isHeldAtGate() const;

    std::shared_ptr<FakeRecorder> lastRecorder() const;
    QStringList startedSegments() const;
    QList<ComputerAudioMode> modes() const;
    std::atomic<int> warmUps{0};

private:
    mutable std::mutex mutex;
    std::condition_variable gateChanged;
    bool gateClosed = false;
    int heldAtGate = 0;
    std::deque<Outcome> outcomes;
    QStringList segments;
    QList<ComputerAudioMode> requestedModes;
    std::shared_ptr<FakeRecorder> last;
};
