// What Murmex's server job adds to each segment, against a bare curl of the same file to the same
// server (the test double of whisper-server, answering at once). Prints figures; never fails on a
// time.
//
//   build/tests/bench/bench_server_job [--jobs N] [--segments S]

#include "FakePlatform.h"
#include "TestWav.h"
#include "insertion/TextInsertion.h"
#include "support/Settings.h"
#include "transcription/WhisperTranscriptionService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(std::ceil(fraction * double(values.size())) - 1))];
}

class ImmediateInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &, const InsertionTarget &, std::function<void()> completion) override
    {
        QTimer::singleShot(0, std::move(completion));
    }
};

class Host final : public TranscriptionHost {
public:
    void transcriptionDidStart() override {}
    void transcriptionDidEnd() override { ended = true; }
    TranscriptionLanguage transcriptionLanguage() const override { return TranscriptionLanguage::spanish; }
    InsertionTarget insertionTarget() const override { return {}; }
    void clearInsertionTarget() override {}
    bool ended = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("jobs"), QStringLiteral("Jobs to time."), QStringLiteral("N"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("segments"), QStringLiteral("Segments per job."), QStringLiteral("S"), QStringLiteral("3")});
    parser.process(application);
    const int jobs = parser.value(QStringLiteral("jobs")).toInt();
    const int segmentCount = parser.value(QStringLiteral("segments")).toInt();

    QTemporaryDir home;
    const QString models = home.filePath(QStringLiteral("Models"));
    QDir().mkpath(models);
    for (const char *model : {"ggml-base.bin", "ggml-silero-v6.2.0.bin"}) {
        QFile file(models + QLatin1Char('/') + QLatin1String(model));
        if (file.open(QIODevice::WriteOnly))
            file.write("model");
    }
    FakePlatform fake;
    ImmediateInsertion insertion;
    Host host;
    Settings defaults(home.filePath(QStringLiteral("Murmex.conf")));
    WhisperLocations locations;
    locations.executableFolders = {QStringLiteral(MURMEX_DOUBLES_DIR)};
    locations.searchPath = false;
    locations.modelFolders = {models};
    locations.pythonWhisperExecutable = QStringLiteral("/nonexistent");
    WhisperTranscriptionService service({defaults, fake.alerts, fake.shell, insertion, {}, [](const QString &) {}}, locations);
    service.setHost(&host);
    service.startWhisperCPPServer();
    if (!service.isServerRunning()) {
        std::fprintf(stderr, "the server double did not start\n");
        return 1;
    }
    const QString endpoint =
        QStringLiteral("http://127.0.0.1:%1/inference").arg(WhisperTranscriptionService::whisperServerPort(QCoreApplication::applicationPid()));

    const QString sample = home.filePath(QStringLiteral("sample.wav"));
    writeToneWav(sample, 3.0);
    const auto bareCurl = [&] {
        QElapsedTimer timer;
        timer.start();
        QProcess curl;
        curl.start(QStringLiteral("/usr/bin/curl"),
                   {QStringLiteral("-q"), QStringLiteral("--silent"), QStringLiteral("--fail"), QStringLiteral("--noproxy"), QStringLiteral("*"), endpoint, QStringLiteral("--form"), QStringLiteral("file=@") + sample + QStringLiteral(";type=audio/wav"),
                    QStringLiteral("--form"), QStringLiteral("response_format=text"), QStringLiteral("--output"), QStringLiteral("/dev/null")});
        curl.waitForFinished(10000);
        return curl.exitCode() == 0 ? double(timer.nsecsElapsed()) / 1e6 : -1.0;
    };
    if (!QTest::qWaitFor([&] { return bareCurl() >= 0; }, 10000)) {
        std::fprintf(stderr, "the server double does not answer\n");
        return 1;
    }

    std::vector<double> perSegment, bare;
    for (int job = 0; job < jobs; ++job) {
        const QString folder = home.filePath(QStringLiteral("Recordings/job-%1").arg(job));
        QDir().mkpath(folder);
        QStringList segments;
        for (int i = 1; i <= segmentCount; ++i) {
            segments.append(folder + QStringLiteral("/segment-%1.wav").arg(i, 3, 10, QLatin1Char('0')));
            writeToneWav(segments.last(), 3.0);
        }
        host.ended = false;
        QElapsedTimer timer;
        timer.start();
        service.transcribe(segments, folder);
        if (!QTest::qWaitFor([&] { return host.ended; }, 30000)) {
            std::fprintf(stderr, "job %d did not finish\n", job + 1);
            return 1;
        }
        perSegment.push_back(double(timer.nsecsElapsed()) / 1e6 / segmentCount);
        for (int i = 0; i < segmentCount; ++i)
            bare.push_back(bareCurl());
    }

    std::printf("\nServer job, %d jobs of %d segments of 3 s (ms per segment)\n", jobs, segmentCount);
    std::printf("%-40s %8s %8s\n", "", "median", "p90");
    std::printf("%-40s %8.1f %8.1f\n", "Murmex job (transcribe -> finished)", percentile(perSegment, 0.5), percentile(perSegment, 0.9));
    std::printf("%-40s %8.1f %8.1f\n", "bare curl of the same file", percentile(bare, 0.5), percentile(bare, 0.9));
    std::printf("%-40s %8.1f\n", "overhead of the job (medians)", percentile(perSegment, 0.5) - percentile(bare, 0.5));
    service.terminateProcesses();
    return 0;
}
