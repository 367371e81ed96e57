#pragma once

#include "platform/AudioSystem.h"

#include <QStringList>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

// A sound server in memory. Streams deliver only what the test pushes; opening can be made to fail.
// Its devices never change, so no device event ever comes.
class FakeAudioSystem final : public AudioSystem {
public:
    class Stream;

    std::optional<AudioDeviceInfo> defaultSource() override;
    std::optional<AudioDeviceInfo> defaultSink() override;
    Expected<std::unique_ptr<AudioCaptureStream>>
    openCapture(const QString &device, CaptureFormat format, CaptureCallbacks callbacks, int fragmentMilliseconds) override;
    // Ready at once; play() counts in cuesPlayed.
    std::unique_ptr<AudioCuePlayback> prepareCuePlayback(std::shared_ptr<const std::vector<float>> samples, quint32 sampleRate) override;
    int subscribe(std::function<void(const AudioDeviceEvent &)>) override { return 0; }
    void unsubscribe(int) override {}

    // Test side.
    void failOpening(const QString &device, int times = 1); // "" = the default source
    // Pushes audio into every running stream on `device` ("" = the microphone streams).
    int deliver(const QString &device, const std::vector<float> &samples);
    QStringList openedDevices() const;
    int runningStreams() const;
    std::atomic<int> cuesPlayed{0};

private:
    friend class Stream;
    void forget(Stream *stream);

    mutable std::recursive_mutex mutex;
    std::optional<AudioDeviceInfo> source = AudioDeviceInfo{QStringLiteral("fake-mic"), 48000, 1};
    std::optional<AudioDeviceInfo> sink = AudioDeviceInfo{QStringLiteral("fake-speaker"), 48000, 2};
    std::map<QString, int> failures;
    std::vector<Stream *> streams;
    QStringList opened;
};

class FakeAudioSystem::Stream final : public AudioCaptureStream {
public:
    Stream(FakeAudioSystem &system, QString device, CaptureFormat format, CaptureCallbacks callbacks);
    ~Stream() override;
    CaptureFormat format() const override { return format_; }
    QString deviceName() const override { return device_; }
    void stop() override;
    bool isRunning() const override { return running.load(); }

    FakeAudioSystem &system;
    const QString device_;
    const CaptureFormat format_;
    CaptureCallbacks callbacks;
    std::atomic<bool> running{true};
};
