#pragma once

#include "CaptureSession.h"
#include "MeteringWindow.h"
#include "platform/AudioSystem.h"
#include "platform/DictationAudioRecorder.h"
#include "support/Error.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

// The plain recorder of dictations that may include the computer's own sound: the default source as
// the server delivers it (16 kHz mono), written to a 16-bit WAV file. When the stream fails, its
// device goes away or the file cannot be written (or cannot grow: a full disk), it stops and calls
// its unexpected-stop handler on the main thread.
class FileRecorder final : public DictationAudioRecorder, public std::enable_shared_from_this<FileRecorder> {
public:
    // Starts recording into `segmentFile`; on failure no file is left behind (error 3).
    [[nodiscard]] static Expected<std::shared_ptr<FileRecorder>> start(AudioSystem &audioSystem, const QString &segmentFile);
    ~FileRecorder() override;

    bool isRecording() const override;
    double currentTime() const override;
    void stop() override;
    void updateMeters() override {} // levels are kept current as audio is written
    float averagePower(int channel) const override;
    float peakPower(int channel) const override;
    void setOnUnexpectedStop(std::function<void()> handler) override;
    bool ranOutOfDiskSpace() const override;

private:
    FileRecorder() = default;
    void onFailure(bool outOfDiskSpace);

    mutable std::mutex stateLock;
    std::unique_ptr<AudioCaptureStream> stream;
    std::shared_ptr<CaptureSession> session;
    std::optional<std::chrono::steady_clock::time_point> startedAt;
    bool recording = false;
    bool failureReported = false;
    bool stoppedForLackOfDiskSpace = false;
    float averagePowerValue = MeteringWindow::initialLevel;
    float peakPowerValue = MeteringWindow::initialLevel;
    std::function<void()> onUnexpectedStop;
};
