// How fast a dictation starts recording, against how fast the sound server can deliver audio at
// all, and what capture costs while it runs. Prints figures; never fails on a time.
//
//   tests/harness/with-desktop build/tests/bench/bench_startup [--dictations N] [--long-seconds S]

#include "FakePlatform.h"
#include "FakeSubsystems.h"
#include "TestWav.h"
#include "app/AppDelegate.h"
#include "audio/AudioRecorderFactory.h"
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
    std::printf("\nCPU of one core (%%): idle %.2f, recording %.2f, capture alone %.2f\n", idleCpu, recordingCpu, recordingCpu - idleCpu);
    std::printf("\nLong recording: %.1f s wall time, %.1f s in the file, %.0f ms short of the wall time\n", elapsed, double(frames) / 16000.0,
                missingMs);
    return 0;
}
