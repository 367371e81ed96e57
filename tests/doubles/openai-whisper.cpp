// Stands in for the openai-whisper command-line program ("whisper") in tests: the arguments Murmex
// passes, parsed the way that program parses them, and <name>.txt written into --output_dir for
// each input, with transcripts, failures, delays and hangs chosen by the test (see README.md).

#include "CommandLine.h"
#include "DoubleLog.h"
#include "DoubleSettings.h"
#include "TranscriptSource.h"
#include "WaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const QString programName = QStringLiteral("whisper");

const std::vector<CommandLine::Option> options = {
    {{QStringLiteral("-h"), QStringLiteral("--help")}, false},
    {{QStringLiteral("--model")}, true},
    {{QStringLiteral("-o"), QStringLiteral("--output_dir")}, true},
    {{QStringLiteral("-f"), QStringLiteral("--output_format")}, true},
    {{QStringLiteral("--verbose")}, true},
    {{QStringLiteral("--task")}, true},
    {{QStringLiteral("--language")}, true},
    {{QStringLiteral("--fp16")}, true},
};

const char usageText[] =
    "usage: whisper [-h] [--model MODEL] [--output_dir OUTPUT_DIR]\n"
    "               [--output_format {txt,vtt,srt,tsv,json,all}] [--verbose VERBOSE]\n"
    "               [--task {transcribe,translate}] [--language LANGUAGE] [--fp16 FP16]\n"
    "               audio [audio ...]\n";

class Run {
public:
    explicit Run(const QStringList &arguments)
        : settings(programName, QStringLiteral("PYTHON")), log(programName, settings.text(QStringLiteral("LOG"))),
          arguments(arguments), commandLine(options, true)
    {
        log.writeStart(arguments);
    }

    int exec()
    {
        if (!commandLine.parse(arguments))
            return usageError(commandLine.error().startsWith(QLatin1String("unknown argument"))
                                  ? QStringLiteral("unrecognized arguments: %1").arg(commandLine.error().section(u' ', 2))
                                  : commandLine.error());
        if (commandLine.isSet(QStringLiteral("--help"))) {
            std::fputs(usageText, stdout);
            return finish(0, {});
        }
        if (const QString problem = badValue(); !problem.isEmpty())
            return usageError(problem);
        const QStringList inputs = commandLine.positional();
        if (inputs.isEmpty())
            return usageError(QStringLiteral("the following arguments are required: audio"));

        TranscriptSource transcripts(settings.transcripts());
        const NumberSet failing = settings.numbers(QStringLiteral("FAIL"));
        const NumberSet hanging = settings.numbers(QStringLiteral("HANG"));
        const int delayMs = settings.number(QStringLiteral("DELAY_MS"), 0);
        const int finalStatus = settings.number(QStringLiteral("EXIT_STATUS"), 0);

        const QString outputDir = commandLine.value(QStringLiteral("--output_dir"), QStringLiteral("."));
        const QString format = commandLine.value(QStringLiteral("--output_format"), QStringLiteral("all"));
        if (!QDir().mkpath(outputDir))
            return finish(1, QStringLiteral("cannot create the output folder %1").arg(outputDir));

        for (qsizetype i = 0; i < inputs.size(); ++i) {
            const int number = int(i) + 1;
            const QString &input = inputs[i];
            QJsonObject entry = {{QStringLiteral("number"), number}, {QStringLiteral("path"), input}};
            QFile file(input);
            if (!QFileInfo(input).isFile() || !file.open(QIODevice::ReadOnly)) {
                skip(entry, QStringLiteral("missing"), QStringLiteral("no such file"));
                continue;
            }
            const WaveContent content = inspectWave(file.readAll());
            if (content == WaveContent::notWave) {
                skip(entry, QStringLiteral("undecodable"), QStringLiteral("cannot decode the audio"));
                continue;
            }
            std::fprintf(stderr, "whisper (test double): transcribing %s\n", qPrintable(input));
            if (hanging.contains(number)) {
                entry.insert(QStringLiteral("result"), QStringLiteral("hang"));
                log.write(QStringLiteral("input"), entry);
                for (;;)
                    std::this_thread::sleep_for(std::chrono::hours(1));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            if (failing.contains(number)) {
                skip(entry, QStringLiteral("failed"), QStringLiteral("transcription failed"));
                continue;
            }

            const QStringList segments = content == WaveContent::sound ? transcripts.take(input) : QStringList();
            QByteArray text;
            for (const QString &segment : segments)
                text += segment.trimmed().toUtf8() + '\n';
            if (format == QLatin1String("txt") || format == QLatin1String("all")) {
                QFile transcript(QDir(outputDir).filePath(QFileInfo(input).completeBaseName() + QStringLiteral(".txt")));
                if (!transcript.open(QIODevice::WriteOnly | QIODevice::Truncate) || transcript.write(text) != text.size())
                    return finish(1, QStringLiteral("cannot write %1: %2").arg(transcript.fileName(), transcript.errorString()));
                entry.insert(QStringLiteral("output"), transcript.fileName());
            }
            entry.insert(QStringLiteral("result"), QStringLiteral("transcribed"));
            entry.insert(QStringLiteral("transcript"), QString::fromUtf8(text));
            log.write(QStringLiteral("input"), entry);
        }
        return finish(finalStatus, {});
    }

private:
    // The choices and types the real program checks before it starts.
    QString badValue() const
    {
        const auto check = [this](const QString &name, const QStringList &allowed) {
            if (commandLine.isSet(name) && !allowed.contains(commandLine.value(name)))
                return QStringLiteral("argument %1: invalid choice: '%2'").arg(name, commandLine.value(name));
            return QString();
        };
        const QStringList booleans = {QStringLiteral("True"), QStringLiteral("False")};
        for (const QString &problem :
             {check(QStringLiteral("--output_format"), {QStringLiteral("txt"), QStringLiteral("vtt"), QStringLiteral("srt"),
                                                        QStringLiteral("tsv"), QStringLiteral("json"), QStringLiteral("all")}),
              check(QStringLiteral("--task"), {QStringLiteral("transcribe"), QStringLiteral("translate")}),
              check(QStringLiteral("--verbose"), booleans), check(QStringLiteral("--fp16"), booleans)}) {
            if (!problem.isEmpty())
                return problem;
        }
        const QString language = commandLine.value(QStringLiteral("--language"));
        if (commandLine.isSet(QStringLiteral("--language")) && (language == QLatin1String("auto") || !isWhisperLanguage(language)))
            return QStringLiteral("argument --language: invalid choice: '%1'").arg(language);
        return {};
    }

    // What argparse does with a bad command line: usage and the error on standard error, status 2.
    int usageError(const QString &message)
    {
        std::fputs(usageText, stderr);
        std::fprintf(stderr, "whisper: error: %s\n", qPrintable(message));
        log.write(QStringLiteral("usage"), {{QStringLiteral("reason"), message}});
        return finish(2, {});
    }

    void skip(QJsonObject entry, const QString &result, const QString &reason)
    {
        std::fprintf(stderr, "Skipping %s: %s\n", qPrintable(entry.value(QStringLiteral("path")).toString()), qPrintable(reason));
        entry.insert(QStringLiteral("result"), result);
        log.write(QStringLiteral("input"), entry);
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
