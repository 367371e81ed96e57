// Stands in for whisper.cpp's whisper-cli in tests: the same command line, the same transcript
// files beside the inputs and the same exit statuses, with transcripts, failures, delays and hangs
// chosen by the test (see README.md).

#include "CommandLine.h"
#include "DoubleLog.h"
#include "DoubleSettings.h"
#include "TranscriptSource.h"
#include "WaveFile.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const QString programName = QStringLiteral("whisper-cli");

const std::vector<CommandLine::Option> options = {
    {{QStringLiteral("-h"), QStringLiteral("--help")}, false},
    {{QStringLiteral("-m"), QStringLiteral("--model")}, true},
    {{QStringLiteral("-l"), QStringLiteral("--language")}, true},
    {{QStringLiteral("-t"), QStringLiteral("--threads")}, true},
    {{QStringLiteral("--beam-size")}, true},
    {{QStringLiteral("--best-of")}, true},
    {{QStringLiteral("--no-timestamps")}, false},
    {{QStringLiteral("--suppress-nst")}, false},
    {{QStringLiteral("--output-txt")}, false},
    {{QStringLiteral("--no-prints")}, false},
    {{QStringLiteral("--vad")}, false},
    {{QStringLiteral("--vad-model")}, true},
    {{QStringLiteral("--vad-threshold")}, true},
    {{QStringLiteral("--vad-min-speech-duration-ms")}, true},
    {{QStringLiteral("--vad-min-silence-duration-ms")}, true},
    {{QStringLiteral("--vad-speech-pad-ms")}, true},
};

const char usageText[] = R"(usage: whisper-cli [options] file0 file1 ...

options:
  -h,        --help                          show this help and exit
  -m FNAME,  --model FNAME                   speech model (default: models/ggml-base.en.bin)
  -l LANG,   --language LANG                 spoken language ("auto" to detect; default: en)
  -t N,      --threads N                     threads to use during computation
             --beam-size N                   beam size for beam search
             --best-of N                     number of best candidates to keep
             --no-timestamps                 do not print timestamps
             --suppress-nst                  suppress non-speech tokens
             --output-txt                    write the transcript to <file>.txt
             --no-prints                     do not print anything but the results
             --vad                           enable voice-activity detection
             --vad-model FNAME               voice-activity model
             --vad-threshold N               voice-activity threshold
             --vad-min-speech-duration-ms N  shortest speech
             --vad-min-silence-duration-ms N shortest silence
             --vad-speech-pad-ms N           padding around speech
)";

class Run {
public:
    explicit Run(const QStringList &arguments)
        : settings(programName, QStringLiteral("CLI")), log(programName, settings.text(QStringLiteral("LOG"))),
          arguments(arguments), commandLine(options, false)
    {
        log.writeStart(arguments);
    }

    int exec()
    {
        if (!commandLine.parse(arguments))
            return usage(commandLine.error());
        if (commandLine.isSet(QStringLiteral("--help")))
            return usage({});
        const QString language = commandLine.value(QStringLiteral("--language"), QStringLiteral("en"));
        if (!isWhisperLanguage(language))
            return usage(QStringLiteral("unknown language '%1'").arg(language));

        TranscriptSource transcripts(settings.transcripts());
        const NumberSet failing = settings.numbers(QStringLiteral("FAIL"));
        const NumberSet hanging = settings.numbers(QStringLiteral("HANG"));
        const int delayMs = settings.number(QStringLiteral("DELAY_MS"), 0);
        const int finalStatus = settings.number(QStringLiteral("EXIT_STATUS"), 0);
        const bool badModel = settings.number(QStringLiteral("BAD_MODEL"), 0) > 0;
        const bool writeTranscripts = commandLine.isSet(QStringLiteral("--output-txt")) && settings.number(QStringLiteral("NO_TXT"), 0) == 0;

        const QStringList inputs = commandLine.positional();
        if (inputs.isEmpty())
            return finish(2, QStringLiteral("error: no input files specified"));
        const QString model = commandLine.value(QStringLiteral("--model"), QStringLiteral("models/ggml-base.en.bin"));
        if (!QFileInfo(model).isFile() || !QFileInfo(model).isReadable())
            return finish(3, QStringLiteral("error: failed to initialize whisper context from '%1'").arg(model));
        if (badModel) { // what whisper.cpp prints for a damaged or truncated model
            std::fprintf(stderr, "whisper_init_from_file_with_params_no_state: loading model from '%s'\n", qPrintable(model));
            std::fprintf(stderr, "whisper_init_with_params_no_state: failed to load model\n");
            return finish(3, QStringLiteral("error: failed to initialize whisper context"));
        }

        int missing = 0;
        for (qsizetype i = 0; i < inputs.size(); ++i) {
            const int number = int(i) + 1;
            const QString &input = inputs[i];
            QJsonObject entry = {{QStringLiteral("number"), number}, {QStringLiteral("path"), input}};
            QFile file(input);
            if (!QFileInfo(input).isFile() || !file.open(QIODevice::ReadOnly)) {
                ++missing;
                std::fprintf(stderr, "error: input file not found '%s'\n", qPrintable(input));
                entry.insert(QStringLiteral("result"), QStringLiteral("missing"));
                log.write(QStringLiteral("input"), entry);
                continue;
            }
            const WaveContent content = inspectWave(file.readAll());
            if (content == WaveContent::notWave) {
                std::fprintf(stderr, "error: failed to read audio file '%s'\n", qPrintable(input));
                entry.insert(QStringLiteral("result"), QStringLiteral("undecodable"));
                log.write(QStringLiteral("input"), entry);
                continue;
            }
            std::fprintf(stderr, "whisper-cli (test double): processing '%s', language %s\n", qPrintable(input),
                         qPrintable(language));
            if (hanging.contains(number)) {
                entry.insert(QStringLiteral("result"), QStringLiteral("hang"));
                log.write(QStringLiteral("input"), entry);
                for (;;)
                    std::this_thread::sleep_for(std::chrono::hours(1));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            if (failing.contains(number)) {
                entry.insert(QStringLiteral("result"), QStringLiteral("failed"));
                log.write(QStringLiteral("input"), entry);
                return finish(10, QStringLiteral("%1: failed to process audio").arg(input));
            }

            const QStringList segments = content == WaveContent::sound ? transcripts.take(input) : QStringList();
            QByteArray text;
            for (const QString &segment : segments) {
                std::printf(" %s\n", qPrintable(segment));
                text += segment.trimmed().toUtf8() + '\n'; // whisper's leading space is not written
            }
            std::fflush(stdout);
            if (writeTranscripts) {
                QFile transcript(input + QStringLiteral(".txt"));
                if (!transcript.open(QIODevice::WriteOnly | QIODevice::Truncate) || transcript.write(text) != text.size())
                    return finish(10, QStringLiteral("error: cannot write %1: %2").arg(transcript.fileName(), transcript.errorString()));
                std::fprintf(stderr, "output_txt: saving output to '%s'\n", qPrintable(transcript.fileName()));
            }
            entry.insert(QStringLiteral("result"), QStringLiteral("transcribed"));
            entry.insert(QStringLiteral("transcript"), QString::fromUtf8(text));
            log.write(QStringLiteral("input"), entry);
        }
        if (missing == inputs.size())
            return finish(2, QStringLiteral("error: no input file could be read"));
        return finish(finalStatus, {});
    }

private:
    int usage(const QString &reason)
    {
        if (!reason.isEmpty())
            std::fprintf(stderr, "error: %s\n\n", qPrintable(reason));
        std::fputs(usageText, stderr);
        log.write(QStringLiteral("usage"), {{QStringLiteral("reason"), reason}});
        return finish(0, {});
    }

    int finish(int status, const QString &message) { return log.writeExit(status, message); }

    DoubleSettings settings;
    DoubleLog log;
    QStringList arguments;
    CommandLine commandLine;
};

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return Run(arguments).exec();
}
