// How fast a dictation starts recording, against how fast the sound server can deliver audio at
// all, how soon the start cue is heard after it is asked for (played by the capture in mode
// "exclude", by the prepared cue player in mode "allow"), and what capture costs while it runs
// (with its echo cancellation). Prints figures; never fails on a time.
//
//   tests/harness/with-desktop build/tests/bench/bench_startup [--dictations N] [--long-seconds S]
//
// The cues come from the build's bundle (build/Murmex, or $MURMEX_BUNDLE_DIR): build the chimelet
// target too.

#include "FakePlatform.h"
#include "FakeSubsystems.h"
#include "TestWav.h"
#include "app/AppDelegate.h"
#include "audio/AudioRecorderFactory.h"
#include "cues/ChimeletSoundCues.h"
#include "platform/linux/PulseAudioSystem.h"
#include "support/Log.h"
#include "support/Settings.h"
#include "support/StartupTrace.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(std::ceil(fraction * double(values.size())) - 1));
    return values[index];
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Milliseconds from connecting a bare 16 kHz record stream on the default source to its first buffer.
double rawFirstBufferMilliseconds(AudioSystem &audio)
{
    std::atomic<bool> arrived{false};
    std::atomic<Clock::rep> arrivedAt{0};
    CaptureCallbacks callbacks;
    callbacks.onAudio = [&](const void *, quint32) {
        if (!arrived.exchange(true))
            arrivedAt = Clock::now().time_since_epoch().count();
    };
    const auto start = Clock::now();
    auto stream = audio.openCapture(QString(), {SampleFormat::float32, 16000, 1}, std::move(callbacks), 10);
    if (!stream)
        return -1;
    [[maybe_unused]] const bool delivered = QTest::qWaitFor([&] { return arrived.load(); }, 5000);
    (*stream)->stop();
    return arrived ? std::chrono::duration<double, std::milli>(Clock::duration(arrivedAt.load()) - start.time_since_epoch()).count() : -1;
}

// The speaker's monitor, read in this process in 10 ms fragments: when the fragment holding the first
// audible sample after arm() arrived, and when the last audible one did.
struct SpeakerWatch {
    std::atomic<bool> armed{false};
    std::atomic<Clock::rep> firstAudible{0};
    std::atomic<Clock::rep> lastAudible{0};
    std::atomic<bool> delivering{false};
    std::unique_ptr<AudioCaptureStream> stream;

    bool open(AudioSystem &audio, const QString &sink)
    {
        CaptureCallbacks callbacks;
        callbacks.onAudio = [this](const void *data, quint32 frames) {
            delivering = true;
            const auto now = Clock::now();
            const auto *samples = static_cast<const float *>(data);
            for (quint32 i = 0; i < frames; ++i) {
                if (std::abs(samples[i]) < 1e-3f)
                    continue;
                const auto at = now.time_since_epoch().count();
                lastAudible = at;
                if (armed.exchange(false))
                    firstAudible = at;
            }
        };
        auto opened = audio.openCapture(sink + QStringLiteral(".monitor"), {SampleFormat::float32, 48000, 1}, std::move(callbacks), 10);
        if (!opened)
            return false;
        stream = std::move(*opened);
        // A monitor loses what starts within the sink's first long block: wait for its first data.
        return QTest::qWaitFor([&] { return delivering.load(); }, 5000);
    }
    void arm()
    {
        firstAudible = 0;
        armed = true;
    }
    // Quiet for 50 ms (by the clock): whatever played has ended.
    bool waitForQuiet()
    {
        return QTest::qWaitFor([&] { return Clock::now().time_since_epoch().count() - lastAudible.load() > std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(50)).count(); }, 5000);
    }
};

struct TraceClock {
    std::mutex mutex;
    std::map<QString, double> last; // label → uptime seconds
    void install()
    {
        StartupTrace::setEnabled(true);
        Log::setSink([this](const QString &line) {
            if (!line.startsWith(QLatin1String("MURMEX_STARTUP ")))
                return;
            std::lock_guard lock(mutex);
            last[line.section(QLatin1Char(' '), 2)] = line.section(QLatin1Char(' '), 1, 1).toDouble();
        });
    }
    double between(const QString &from, const QString &to)
    {
        std::lock_guard lock(mutex);
        if (!last.contains(from) || !last.contains(to))
            return -1;
        return (last[to] - last[from]) * 1000.0;
    }
    double at(const QString &label)
    {
        std::lock_guard lock(mutex);
        return last.contains(label) ? last[label] : -1;
    }
    void clear()
    {
        std::lock_guard lock(mutex);
        last.clear();
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("dictations"), QStringLiteral("Dictations to time."), QStringLiteral("N"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("long-seconds"), QStringLiteral("Length of the long recording."), QStringLiteral("S"), QStringLiteral("60")});
    parser.process(application);
    const int dictations = parser.value(QStringLiteral("dictations")).toInt();
    const int longSeconds = parser.value(QStringLiteral("long-seconds")).toInt();

    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    TraceClock traces;
    traces.install();

    PulseAudioSystem audio;
    FakePlatform fake;
    FakeSubsystems fakes;
    Settings defaults(data.filePath(QStringLiteral("Murmex.conf")));
    AppDelegate::Subsystems subsystems = fakes.make();
    auto factory = std::make_shared<AudioRecorderFactory>(audio);
    subsystems.recorders = factory;
    const QString bundle = qEnvironmentVariable("MURMEX_BUNDLE_DIR", QCoreApplication::applicationDirPath() + QStringLiteral("/../../Murmex"));
    auto soundCues = std::make_unique<ChimeletSoundCues>(
        ChimeletSoundCues::Locations{bundle + QStringLiteral("/share/murmex/DictationStarted.wav"), bundle + QStringLiteral("/share/murmex/DictationStopped.wav"),
                                     bundle + QStringLiteral("/libexec/chimelet")},
        [factory] { return factory->tryPlayStartCue(); });
    ChimeletSoundCues &cues = *soundCues;
    cues.loadEmbeddedSounds();
    const bool cuesPlayable = cues.bundledSoundPlayerURL().has_value();
    subsystems.soundCues = std::move(soundCues);
    AppDelegate controller(fake.platform, defaults, std::move(subsystems));
    factory->warmUp();

    const auto press = [&] {
        controller.dictationHotKeyPressed();
        controller.dictationHotKeyReleased();
    };

    std::vector<double> startMs, rawMs;
    for (int i = 0; i < dictations; ++i) {
        const double raw = rawFirstBufferMilliseconds(audio);
        if (raw >= 0)
            rawMs.push_back(raw);
        traces.clear();
        press();
        if (!QTest::qWaitFor([&] { return controller.state() == DictationState::recording; }, 10000)) {
            std::fprintf(stderr, "dictation %d did not start recording\n", i + 1);
            return 1;
        }
        const double start = traces.between(QStringLiteral("shortcut"), QStringLiteral("microphone-buffer-written"));
        if (start >= 0)
            startMs.push_back(start);
        QTest::qWait(200);
        press();
        [[maybe_unused]] const bool ended = QTest::qWaitFor([&] { return controller.state() == DictationState::idle; }, 5000);
        [[maybe_unused]] const bool drained = controller.startupQueue().waitUntilDrained(5000);
    }

    // Start cue: from the controller asking for it (just after "volume-applied") to its first sample
    // at the speaker's monitor, and how it was played.
    SpeakerWatch speaker;
    const auto sink = audio.defaultSink();
    std::map<ComputerAudioMode, std::vector<double>> cueMs;
    std::map<ComputerAudioMode, int> byPlayer;
    if (cuesPlayable && sink && speaker.open(audio, sink->name)) {
        for (ComputerAudioMode mode : {ComputerAudioMode::exclude, ComputerAudioMode::allow}) {
            controller.setComputerAudioMode(mode);
            for (int i = 0; i < dictations; ++i) {
                speaker.waitForQuiet();
                traces.clear();
                speaker.arm();
                press();
                if (!QTest::qWaitFor([&] { return controller.state() == DictationState::recording; }, 10000)) {
                    std::fprintf(stderr, "dictation %d did not start recording\n", i + 1);
                    return 1;
                }
                byPlayer[mode] += cues.isPlayerRunning() ? 1 : 0;
                if (QTest::qWaitFor([&] { return speaker.firstAudible.load() != 0; }, 3000)) {
                    const double asked = traces.at(QStringLiteral("volume-applied"));
                    const double heard = std::chrono::duration<double>(Clock::duration(speaker.firstAudible.load())).count();
                    if (asked > 0)
                        cueMs[mode].push_back((heard - asked) * 1000.0);
                }
                speaker.waitForQuiet();
                press();
                [[maybe_unused]] const bool ended = QTest::qWaitFor([&] { return controller.state() == DictationState::idle; }, 5000);
                [[maybe_unused]] const bool drained = controller.startupQueue().waitUntilDrained(5000);
                [[maybe_unused]] const bool stopped = QTest::qWaitFor([&] { return !cues.isPlayerRunning(); }, 5000);
            }
        }
        controller.setComputerAudioMode(ComputerAudioMode::exclude);
    }

    // CPU while recording, against the same time idle.
    const auto measureCpu = [&](double seconds) {
        const double before = cpuSeconds();
        QTest::qWait(int(seconds * 1000));
        return (cpuSeconds() - before) / seconds * 100.0;
    };
    const double idleCpu = measureCpu(5);

    // A long recording straight on the recorder: every second of it must be in the file.
    const QString longSegment = data.filePath(QStringLiteral("long.wav"));
    auto recorder = factory->makeStartedRecorder(longSegment, ComputerAudioMode::exclude, std::make_shared<RecordingStartupCancellation>());
    if (!recorder) {
        std::fprintf(stderr, "long recording did not start: %s\n", qPrintable(recorder.error().description));
        return 1;
    }
    const auto longStart = Clock::now();
    const double recordingCpu = measureCpu(std::min(10, longSeconds));
    QTest::qWait(std::max(0, longSeconds - 10) * 1000);
    (*recorder)->stop();
    const double elapsed = std::chrono::duration<double>(Clock::now() - longStart).count();
    const qint64 frames = wavFrames(longSegment);
    const double missingMs = (elapsed * 16000.0 - double(frames)) / 16.0;

    std::printf("\nRecording start-up, %d dictations (ms)\n", dictations);
    std::printf("%-44s %8s %8s\n", "", "median", "p90");
    std::printf("%-44s %8.1f %8.1f\n", "shortcut -> first buffer written (Murmex)", percentile(startMs, 0.5), percentile(startMs, 0.9));
    std::printf("%-44s %8.1f %8.1f\n", "bare record stream -> first buffer", percentile(rawMs, 0.5), percentile(rawMs, 0.9));
    std::printf("%-44s %8.1f\n", "difference of medians", percentile(startMs, 0.5) - percentile(rawMs, 0.5));
    if (cueMs.empty()) {
        std::printf("\nStart cue: not measured (no cue player or sounds in %s, or no speaker)\n", qPrintable(bundle));
    } else {
        std::printf("\nStart cue asked for -> first sample at the speaker's monitor (ms)\n");
        std::printf("%-44s %8s %8s %8s\n", "", "median", "p90", "heard");
        const auto row = [&](const char *name, ComputerAudioMode mode) {
            std::printf("%-44s %8.1f %8.1f %5zu/%d\n", name, percentile(cueMs[mode], 0.5), percentile(cueMs[mode], 0.9), cueMs[mode].size(), dictations);
        };
        row("exclude: played by the capture", ComputerAudioMode::exclude);
        row("allow: prepared cue player", ComputerAudioMode::allow);
        std::printf("(played by a player process: exclude %d, allow %d of %d)\n", byPlayer[ComputerAudioMode::exclude], byPlayer[ComputerAudioMode::allow],
                    dictations);
    }
    std::printf("\nCPU of one core (%%): idle %.2f, recording %.2f, capture alone %.2f\n", idleCpu, recordingCpu, recordingCpu - idleCpu);
    std::printf("\nLong recording: %.1f s wall time, %.1f s in the file, %.0f ms short of the wall time\n", elapsed, double(frames) / 16000.0,
                missingMs);
    return 0;
}
