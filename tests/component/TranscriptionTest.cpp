// Recordings turned into text by real child processes: the test doubles of the speech engines
// (same command lines, same HTTP, same transcript files) and the real curl.

#include "FakePlatform.h"
#include "TestWav.h"
#include "dictionary/PersonalDictionaryStore.h"
#include "insertion/TextInsertion.h"
#include "support/Settings.h"
#include "transcription/WhisperTranscriptionService.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <cmath>

namespace {

constexpr int jobTimeout = 30000;
const QString doubles = QStringLiteral(MURMEX_DOUBLES_DIR);

class RecordingInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &text, std::optional<qint64> target, std::function<void()> completion) override
    {
        pasted.append(text);
        targets.append(target);
        if (!folder.isEmpty())
            filesAtPaste = QDir(folder).entryList(QDir::Files);
        QTimer::singleShot(10, std::move(completion));
    }
    QStringList pasted;
    QList<std::optional<qint64>> targets;
    QString folder;          // whose files to note when the text is pasted
    QStringList filesAtPaste;
};

class Host final : public TranscriptionHost {
public:
    void transcriptionDidStart() override { ++starts; }
    void transcriptionDidEnd() override { ++ends; }
    TranscriptionLanguage transcriptionLanguage() const override { return TranscriptionLanguage::spanish; }
    std::optional<qint64> insertionTarget() const override { return target; }
    void clearInsertionTarget() override { target.reset(); }
    int starts = 0;
    int ends = 0;
    std::optional<qint64> target = 777;
};

struct Rig {
    QTemporaryDir home;
    QString recordings = home.filePath(QStringLiteral("Recordings"));
    QString folder = recordings + QStringLiteral("/2026-12-06_17-00-00_ABCDEF12");
    QString logFile = home.filePath(QStringLiteral("doubles.log"));
    QString curlLog = home.filePath(QStringLiteral("curl.log"));
    QStringList segments;
    FakePlatform fake;
    RecordingInsertion insertion;
    Host host;
    Settings defaults{home.filePath(QStringLiteral("Murmex.conf"))};
    PersonalDictionaryStore dictionary{home.filePath(QStringLiteral("Dictionaries"))};
    std::unique_ptr<WhisperTranscriptionService> service;

    // `engines`: which of "server", "cli", "python" are there; `vad`: the voice-activity model.
    Rig(const QStringList &engines, bool vad = true, int segmentCount = 3)
    {
        QDir().mkpath(folder);
        for (int i = 1; i <= segmentCount; ++i) {
            segments.append(folder + QStringLiteral("/segment-%1.wav").arg(i, 3, 10, QLatin1Char('0')));
            QVERIFY(writeToneWav(segments.last(), 1.0));
        }
        const QString models = home.filePath(QStringLiteral("Models"));
        QDir().mkpath(models);
        for (const QString &model : {QStringLiteral("ggml-base.bin"), vad ? QStringLiteral("ggml-silero-v6.2.0.bin") : QString()})
            if (!model.isEmpty()) {
                QFile file(models + QLatin1Char('/') + model);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("model");
            }
        // Only the engines asked for are reachable: each gets a folder of its own.
        WhisperLocations locations;
        locations.searchPath = false;
        locations.modelFolders = {models};
        locations.pythonWhisperExecutable = engines.contains(QStringLiteral("python")) ? doubles + QStringLiteral("/whisper") : QStringLiteral("/nonexistent/whisper");
        for (const auto &[engine, program] : {std::pair{QStringLiteral("server"), QStringLiteral("whisper-server")},
                                              std::pair{QStringLiteral("cli"), QStringLiteral("whisper-cli")}}) {
            if (!engines.contains(engine))
                continue;
            const QString bin = home.filePath(engine);
            QDir().mkpath(bin);
            QVERIFY(QFile::link(doubles + QLatin1Char('/') + program, bin + QLatin1Char('/') + program));
            locations.executableFolders.append(bin);
        }
        // curl as the job runs it, with its arguments written down first.
        locations.curlExecutable = home.filePath(QStringLiteral("curl"));
        QFile curl(locations.curlExecutable);
        QVERIFY(curl.open(QIODevice::WriteOnly));
        curl.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '%1'\nexec /usr/bin/curl \"$@\"\n").arg(curlLog).toUtf8());
        curl.close();
        curl.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        qputenv("MURMEX_DOUBLE_LOG", logFile.toUtf8());
        service = std::make_unique<WhisperTranscriptionService>(
            WhisperTranscriptionService::Services{
                defaults, fake.alerts, fake.shell, insertion,
                [this](const QString &text, TranscriptionLanguage language) { return dictionary.applying(text, language); },
                [this](const QString &path) {
                    if (path.startsWith(recordings + QLatin1Char('/')))
                        QDir(path).removeRecursively();
                }},
            locations);
        service->setHost(&host);
    }
    ~Rig()
    {
        service.reset();
        for (const char *name : {"MURMEX_DOUBLE_LOG", "MURMEX_DOUBLE_TRANSCRIPTS", "MURMEX_DOUBLE_SERVER_FAIL", "MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS",
                                 "MURMEX_DOUBLE_CLI_EXIT_STATUS", "MURMEX_DOUBLE_SERVER_TRANSCRIPTS", "MURMEX_DOUBLE_CLI_TRANSCRIPTS"})
            qunsetenv(name);
    }

    QList<QJsonObject> events(const QString &program, const QString &event) const
    {
        QList<QJsonObject> found;
        QFile file(logFile);
        if (!file.open(QIODevice::ReadOnly))
            return found;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.value(QStringLiteral("program")).toString() == program && object.value(QStringLiteral("event")).toString() == event)
                found.append(object);
        }
        return found;
    }
    QStringList arguments(const QString &program) const
    {
        QStringList list;
        const auto starts = events(program, QStringLiteral("start"));
        if (!starts.isEmpty())
            for (const QJsonValue &value : starts.last().value(QStringLiteral("arguments")).toArray())
                list.append(value.toString());
        return list;
    }
    bool startServer()
    {
        service->startWhisperCPPServer();
        return service->isServerRunning();
    }
    bool waitForEnd() { return QTest::qWaitFor([&] { return host.ends > 0; }, jobTimeout); }
};

QStringList voiceActivity(const QString &model)
{
    return {QStringLiteral("--vad"), QStringLiteral("--vad-model"), model, QStringLiteral("--vad-threshold"), QStringLiteral("0.50"),
            QStringLiteral("--vad-min-speech-duration-ms"), QStringLiteral("250"), QStringLiteral("--vad-min-silence-duration-ms"),
            QStringLiteral("500"), QStringLiteral("--vad-speech-pad-ms"), QStringLiteral("100")};
}

} // namespace

class TranscriptionTest : public QObject {
    Q_OBJECT

private slots:
    void serverJobPastesTheSubstitutedText()
    {
        Rig rig({QStringLiteral("server")});
        QVERIFY(rig.dictionary.save({{QStringLiteral("nueva york"), QStringLiteral("Nueva York")}}, TranscriptionLanguage::spanish));
        qputenv("MURMEX_DOUBLE_TRANSCRIPTS", "hola desde nueva|[Música]|york, adiós");
        QVERIFY(rig.startServer());
        rig.service->transcribe(rig.segments, rig.folder);
        QCOMPARE(rig.host.starts, 1);
        QVERIFY(rig.waitForEnd());

        // The phrase spans two segments, with a non-speech one between them.
        QCOMPARE(rig.insertion.pasted, QStringList{QStringLiteral("hola desde Nueva York, adiós")});
        QCOMPARE(rig.insertion.targets.first(), std::optional<qint64>(777));
        QVERIFY(!QFile::exists(rig.folder)); // deleted after the paste completed
        QVERIFY(rig.fake.alerts.shown.isEmpty());

        const QString port = QString::number(WhisperTranscriptionService::whisperServerPort(QCoreApplication::applicationPid()));
        const QString models = rig.home.filePath(QStringLiteral("Models"));
        QStringList expected{QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), port, QStringLiteral("--model"),
                             models + QStringLiteral("/ggml-base.bin"), QStringLiteral("--language"), QStringLiteral("es"),
                             QStringLiteral("--no-timestamps"), QStringLiteral("--suppress-nst")};
        expected += voiceActivity(models + QStringLiteral("/ggml-silero-v6.2.0.bin"));
        expected += QStringList{QStringLiteral("--threads"), QStringLiteral("4"), QStringLiteral("--beam-size"), QStringLiteral("5"),
                                QStringLiteral("--best-of"), QStringLiteral("5")};
        QCOMPARE(expected.size(), 27);
        QCOMPARE(rig.arguments(QStringLiteral("whisper-server")), expected);

        QFile curlLog(rig.curlLog);
        QVERIFY(curlLog.open(QIODevice::ReadOnly));
        const QString firstCurl = QString::fromUtf8(curlLog.readLine()).trimmed();
        QCOMPARE(firstCurl, QStringLiteral("--silent --show-error --fail --max-time 3600 http://127.0.0.1:%1/inference --form file=@%2;type=audio/wav "
                                           "--form temperature=0.0 --form temperature_inc=0.2 --form language=es --form response_format=text "
                                           "--output %3")
                                .arg(port, rig.segments.first(), rig.folder + QStringLiteral("/segment-001-server.txt")));
        const auto requests = rig.events(QStringLiteral("whisper-server"), QStringLiteral("request"));
        QCOMPARE(requests.size(), 3);
        const QJsonObject fields = requests.first().value(QStringLiteral("fields")).toObject();
        QCOMPARE(fields.value(QStringLiteral("response_format")).toString(), QStringLiteral("text"));
        QCOMPARE(fields.value(QStringLiteral("language")).toString(), QStringLiteral("es"));
    }

    void serverStillLoadingIsWaitedFor()
    {
        Rig rig({QStringLiteral("server")}, true, 1);
        qputenv("MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS", "1200"); // six or so refused attempts
        qputenv("MURMEX_DOUBLE_TRANSCRIPTS", "por fin");
        QVERIFY(rig.startServer());
        QSignalSpy finished(rig.service.get(), &WhisperTranscriptionService::serverJobFinished);
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd());
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(rig.insertion.pasted, QStringList{QStringLiteral("por fin")});
        QFile curlLog(rig.curlLog);
        QVERIFY(curlLog.open(QIODevice::ReadOnly));
        QVERIFY(curlLog.readAll().count('\n') > 2);
    }

    void failingServerFallsBackToTheCommandLine()
    {
        Rig rig({QStringLiteral("server"), QStringLiteral("cli")});
        qputenv("MURMEX_DOUBLE_SERVER_FAIL", "2-"); // the second segment fails for good
        qputenv("MURMEX_DOUBLE_TRANSCRIPTS", "uno|dos|tres");
        QVERIFY(rig.startServer());
        QSignalSpy finished(rig.service.get(), &WhisperTranscriptionService::serverJobFinished);
        rig.insertion.folder = rig.folder;
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd());

        QCOMPARE(rig.insertion.filesAtPaste.filter(QStringLiteral("-server.txt")), QStringList());
        QCOMPARE(rig.insertion.filesAtPaste.filter(QStringLiteral(".wav.txt")).size(), 3);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toBool(), false);
        QVERIFY(!rig.service->isServerRunning()); // abandoned for the rest of the run
        // The third segment was never posted: the first once, the second until retries ran out.
        for (const QJsonObject &request : rig.events(QStringLiteral("whisper-server"), QStringLiteral("request")))
            QVERIFY(!request.value(QStringLiteral("file")).toObject().value(QStringLiteral("name")).toString().contains(QLatin1String("segment-003")));
        const QString models = rig.home.filePath(QStringLiteral("Models"));
        QStringList expected{QStringLiteral("--model"), models + QStringLiteral("/ggml-base.bin"), QStringLiteral("--language"), QStringLiteral("es"),
                             QStringLiteral("--no-timestamps"), QStringLiteral("--suppress-nst"), QStringLiteral("--output-txt"), QStringLiteral("--no-prints")};
        expected += voiceActivity(models + QStringLiteral("/ggml-silero-v6.2.0.bin"));
        expected += rig.segments;
        QCOMPARE(rig.arguments(QStringLiteral("whisper-cli")), expected);
        QCOMPARE(rig.insertion.pasted.size(), 1);
        QVERIFY(!QFile::exists(rig.folder));
    }

    void commandLineWithoutVoiceActivityModel()
    {
        Rig rig({QStringLiteral("server"), QStringLiteral("cli")}, false, 1);
        QVERIFY(!rig.startServer()); // no server without the voice-activity model
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd());
        const QString models = rig.home.filePath(QStringLiteral("Models"));
        QCOMPARE(rig.arguments(QStringLiteral("whisper-cli")),
                 (QStringList{QStringLiteral("--model"), models + QStringLiteral("/ggml-base.bin"), QStringLiteral("--language"), QStringLiteral("es"),
                              QStringLiteral("--no-timestamps"), QStringLiteral("--suppress-nst"), QStringLiteral("--output-txt"),
                              QStringLiteral("--no-prints"), rig.segments.first()}));
        QCOMPARE(rig.insertion.pasted, QStringList{QStringLiteral("segment-001")});
    }

    void openaiWhisperIsPreferredOverTheCommandLine()
    {
        Rig rig({QStringLiteral("cli"), QStringLiteral("python")}, true, 2);
        qputenv("MURMEX_DOUBLE_TRANSCRIPTS", "primero|segundo");
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd());
        QStringList expected = rig.segments;
        expected += QStringList{QStringLiteral("--model"), QStringLiteral("base"), QStringLiteral("--language"), QStringLiteral("es"),
                                QStringLiteral("--task"), QStringLiteral("transcribe"), QStringLiteral("--output_format"), QStringLiteral("txt"),
                                QStringLiteral("--output_dir"), rig.folder, QStringLiteral("--verbose"), QStringLiteral("False"),
                                QStringLiteral("--fp16"), QStringLiteral("False")};
        QCOMPARE(rig.arguments(QStringLiteral("whisper")), expected);
        QVERIFY(rig.events(QStringLiteral("whisper-cli"), QStringLiteral("start")).isEmpty());
        QCOMPARE(rig.insertion.pasted, QStringList{QStringLiteral("primero segundo")});
    }

    void failuresKeepTheRecording_data()
    {
        QTest::addColumn<QStringList>("engines");
        QTest::addColumn<QByteArray>("cliExitStatus");
        QTest::addColumn<QString>("title");
        QTest::newRow("no engine at all") << QStringList() << QByteArray() << "Motor de transcripción no disponible";
        QTest::newRow("command line exits with 1") << QStringList{QStringLiteral("cli")} << QByteArray("1")
                                                   << "No se pudo completar la transcripción";
    }

    void failuresKeepTheRecording()
    {
        QFETCH(QStringList, engines);
        QFETCH(QByteArray, cliExitStatus);
        QFETCH(QString, title);
        Rig rig(engines);
        if (!cliExitStatus.isEmpty())
            qputenv("MURMEX_DOUBLE_CLI_EXIT_STATUS", cliExitStatus);
        rig.fake.alerts.answer = 0; // "Mostrar grabación"
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd());

        QVERIFY(rig.insertion.pasted.isEmpty());
        QVERIFY(QFile::exists(rig.folder));
        for (const QString &segment : rig.segments)
            QVERIFY(QFile::exists(segment));
        QVERIFY(!QFile::exists(rig.folder + QStringLiteral("/transcription.log")));
        QCOMPARE(rig.fake.alerts.shown.size(), 1);
        QCOMPARE(rig.fake.alerts.shown.first().message, title);
        QVERIFY(rig.fake.alerts.shown.first().informativeText.endsWith(QStringLiteral("\n\n") + rig.folder));
        QCOMPARE(rig.fake.alerts.shown.first().buttons, (QStringList{QStringLiteral("Mostrar grabación"), QStringLiteral("Aceptar")}));
        QCOMPARE(rig.fake.shell.revealed, QStringList{rig.folder});
        QCOMPARE(rig.defaults.string(QStringLiteral("lastRecoveryNotice")).value_or(QString()), rig.folder);
        QVERIFY(!rig.host.target); // the text has nowhere to go any more
    }

    void emptyTextEndsSilently()
    {
        Rig rig({QStringLiteral("server")});
        qputenv("MURMEX_DOUBLE_TRANSCRIPTS", "[Música]|(risas)|");
        QVERIFY(rig.startServer());
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd());
        QVERIFY(rig.insertion.pasted.isEmpty());
        QVERIFY(rig.fake.alerts.shown.isEmpty());
        QVERIFY(!QFile::exists(rig.folder));
    }
};

QTEST_GUILESS_MAIN(TranscriptionTest)
#include "TranscriptionTest.moc"
