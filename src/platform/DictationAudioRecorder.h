#pragma once

#include <functional>

// A recorder capturing one segment file of a dictation. Its owner holds it only through this
// interface. A recorder that stops on its own (device gone, stream failed, encoding error) calls
// its unexpected-stop handler, from any thread; the owner clears the handler before it stops a
// recorder itself, so a stop the user asked for is never reported as an interruption.
class DictationAudioRecorder {
public:
    virtual ~DictationAudioRecorder() = default;

    virtual bool isRecording() const = 0;
    virtual double currentTime() const = 0; // seconds recorded into the current file
    virtual void stop() = 0;                // ends capture and closes the file
    virtual void updateMeters() = 0;
    virtual float averagePower(int channel) const = 0; // dBFS
    virtual float peakPower(int channel) const = 0;    // dBFS

    virtual void setOnUnexpectedStop(std::function<void()> handler) = 0;
    // After an unexpected stop: whether it stopped because its file could not grow (disk or quota
    // full, file size limit). The file then holds, with a valid header, everything written before.
    virtual bool ranOutOfDiskSpace() const { return false; }
};
