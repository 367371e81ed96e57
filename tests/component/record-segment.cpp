// murmex-record-segment FILE allow|exclude [FILE_SIZE_LIMIT]: records one segment from the default
// microphone with the real recorders, for the tests that kill a recording or let its file hit a
// size limit (past it a write fails with EFBIG instead of killing the process). Prints
// "first-buffer" once FILE holds audio, and "stopped ranOutOfDiskSpace=0|1" when the recorder stops
// by itself, then exits.

#include "audio/AudioRecorderFactory.h"
#include "audio/SegmentFile.h"
#include "platform/linux/PulseAudioSystem.h"

#include <QCoreApplication>
#include <QTimer>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3)
        return 2;
    const rlimit limit{arguments.value(3).toULong(), arguments.value(3).toULong()};
    if (arguments.size() > 3 && (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0))
        return 2;
    PulseAudioSystem audio;
    AudioRecorderFactory factory(audio);
    const auto mode = arguments[2] == QLatin1String("exclude") ? ComputerAudioMode::exclude : ComputerAudioMode::allow;
    const auto recorder = factory.makeStartedRecorder(arguments[1], mode, {});
    if (!recorder) {
        std::printf("start failed: %s\n", qPrintable(recorder.error().description));
        return 1;
    }
    DictationAudioRecorder *started = recorder->get();
    started->setOnUnexpectedStop([started] {
        std::printf("stopped ranOutOfDiskSpace=%d\n", int(started->ranOutOfDiskSpace()));
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (SegmentFile::holdsAudio(arguments[1])) {
            std::printf("first-buffer\n");
            std::fflush(stdout);
            poll.stop();
        }
    });
    poll.start(5);
    return app.exec();
}
