#pragma once

#include "support/Error.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The desktop's sound server as Murmex uses it: which devices are the defaults, capture streams,
// and notice of device changes. All callbacks run on the sound server's own thread.

struct AudioDeviceInfo {
    QString name;            // the server's device name; a sink's monitor source is name + ".monitor"
    quint32 sampleRate = 0;  // the device's own rate, Hz
    quint8 channels = 0;
    bool operator==(const AudioDeviceInfo &) const = default;
};

enum class SampleFormat { float32, int16 };

struct CaptureFormat {
    SampleFormat sampleFormat = SampleFormat::float32;
    quint32 sampleRate = 16000; // 0: the device's own rate (the server resamples otherwise)
    quint8 channels = 1;
};

// Called on the audio thread: no allocation, no locks, no logging inside.
struct CaptureCallbacks {
    // Interleaved samples in the stream's format.
    std::function<void(const void *samples, quint32 frames)> onAudio;
    // The server lost `frames` frames of this stream (an overrun): a hole in the recording.
    std::function<void(quint32 frames)> onHole;
    // The stream failed or its device went away; called once, then nothing more arrives.
    std::function<void(const QString &reason)> onFailure;
};

class AudioCaptureStream {
public:
    virtual ~AudioCaptureStream() = default; // stops the stream if it still runs
    // The format actually delivered (with the device's rate filled in).
    virtual CaptureFormat format() const = 0;
    virtual QString deviceName() const = 0;
    // Stops delivery; when it returns no callback runs any more.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

// A short sound already handed to the server on a corked playback stream, so that play() only has
// to uncork it. Ending the object ends the stream, and the sound with it if it still plays.
class AudioCuePlayback {
public:
    virtual ~AudioCuePlayback() = default;
    // The stream is up and holds the sound (as much of it as its buffer takes): play() would start it.
    virtual bool isReady() const = 0;
    // Waits, at most `bound`, for the stream to become ready: it is asked for when the capture
    // starts and needs a few of the server's answers, which may still be on their way when the
    // start cue is wanted. Never on the audio server's own thread.
    virtual bool waitUntilReady(std::chrono::milliseconds bound)
    {
        (void)bound;
        return isReady();
    }
    // Starts the sound without waiting for the server; true when it was ready and had not been
    // started before. A sound plays at most once.
    virtual bool play() = 0;
    // Monotonic-clock (steady_clock) nanoseconds at which the server began playing it; 0 before.
    virtual qint64 firstOutputNanoseconds() const = 0;
};

struct AudioDeviceEvent {
    enum class Kind {
        defaultSourceChanged, // `device` is the new default source
        defaultSinkChanged,   // `device` is the new default sink
        sourceChanged,        // a source's properties changed; `sampleRate` is its rate now
        sinkChanged,
        sourceRemoved,        // `device` is gone
        sinkRemoved,
        serverLost,           // the connection to the sound server broke
    };
    Kind kind;
    QString device;
    quint32 sampleRate = 0;
};

class AudioSystem {
public:
    virtual ~AudioSystem() = default;

    // Blocking queries with a bound of a few seconds; none when the server does not answer.
    virtual std::optional<AudioDeviceInfo> defaultSource() = 0;
    virtual std::optional<AudioDeviceInfo> defaultSink() = 0;

    // Opens a capture stream on `device` (empty: the default source) and returns once the server has
    // accepted it (bounded); audio follows through the callbacks. The stream never moves to another
    // device: when its device goes away it fails. `fragmentMilliseconds` sets how much audio each
    // callback carries.
    [[nodiscard]] virtual Expected<std::unique_ptr<AudioCaptureStream>>
    openCapture(const QString &device, CaptureFormat format, CaptureCallbacks callbacks, int fragmentMilliseconds) = 0;

    // Opens a playback stream on the default sink, corked, and hands it `samples` (mono Float32 at
    // `sampleRate`). Returns without waiting for the server: the stream becomes ready shortly after,
    // on its own. Null when no stream can be made (no server, bad format).
    virtual std::unique_ptr<AudioCuePlayback> prepareCuePlayback(std::shared_ptr<const std::vector<float>> samples, quint32 sampleRate) = 0;

    // Device events until the returned handle is passed to unsubscribe().
    virtual int subscribe(std::function<void(const AudioDeviceEvent &)> listener) = 0;
    virtual void unsubscribe(int handle) = 0;
};
