// Recordings turned into text by real child processes: the test doubles of the speech engines
// (same command lines, same HTTP, same transcript files) and the real curl. The recordings' folder
// has in its path the characters that curl's form syntax gives a meaning to (, ; " \).

#include "FakePlatform.h"
#include "TestWav.h"
#include "dictionary/PersonalDictionaryStore.h"
#include "insertion/TextInsertion.h"
#include "support/Log.h"
#include "support/Settings.h"
#include "transcription/WhisperTranscriptionService.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <csignal>

namespace {

constexpr int jobTimeout = 30000;
const QString doubles = QStringLiteral(MURMEX_DOUBLES_DIR);

class RecordingInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &text, const InsertionTarget &target, std::function<void()> completion) override
    {
        pasted.append(text);
        targets.append(target.processId);
        QTimer::singleShot(10, std::move(completion));
    }
    QStringList pasted;
    QList<std::optional<qint64>> targets;
};

class Host final : public TranscriptionHost {
public:
    void transcriptionDidStart() override { ++starts; }
    void transcriptionDidEnd() override { ++ends; }
    TranscriptionLanguage transcriptionLanguage() const override { return TranscriptionLanguage::spanish; }
    InsertionTarget insertionTarget() const override { return {.window = 0, .processId = target}; }
    void clearInsertionTarget() override { target.reset(); }
    int starts = 0;
    int ends = 0;
    std::optional<qint64> target = 777;
};

struct Rig {
    QTemporaryDir home;
    QString recordings = home.filePath(QStringLiteral("Datos, \"míos\"; copia\\1/Recordings"));
    QString folder = recordings + QStringLiteral("/2026-12-06_17-00-00_ABCDEF12");
    QString models = home.filePath(QStringLiteral("Models"));
    QString logFile = home.filePath(QStringLiteral("doubles.log"));
    QStringList segments;
    QList<std::pair<QByteArray, std::optional<QByteArray>>> variables; // set for the doubles and curl, restored at the end
    QStringList logged;          // Murmex's log lines
    FakePlatform fake;
    RecordingInsertion insertion;
    Host host;
    Settings defaults{home.filePath(QStringLiteral("Murmex.conf"))};
    PersonalDictionaryStore dictionary{home.filePath(QStringLiteral("Dictionaries"))};
    std::unique_ptr<WhisperTranscriptionService> service;

    // `engines`: which of "server", "cli", "python" are there; `vad`: the voice-activity model.
    Rig(const QStringList &engines, bool vad = true, int segmentCount = 3)
    {
        record(segmentCount);
        QDir().mkpath(models);
        for (const QString &model : {QStringLiteral("ggml-base.bin"), vad ? QStringLiteral("ggml-silero-v6.2.0.bin") : QString()}) {
            QFile file(models + QLatin1Char('/') + model);
            QVERIFY(model.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write("model") > 0));
        }
        // Only the engines asked for are reachable: each gets a folder of its own.
        WhisperLocations locations;
        locations.searchPath = false;
        locations.modelFolders = {models};
        locations.pythonWhisperExecutable = engines.contains(QStringLiteral("python")) ? doubles + QStringLiteral("/whisper") : QStringLiteral("/nonexistent/whisper");
        for (const QString &engine : {QStringLiteral("server"), QStringLiteral("cli")}) {
            if (!engines.contains(engine))
                continue;
            const QString bin = home.filePath(engine), program = QStringLiteral("whisper-") + engine;
            QVERIFY(QDir().mkpath(bin) && QFile::link(doubles + QLatin1Char('/') + program, bin + QLatin1Char('/') + program));
            locations.executableFolders.append(bin);
        }
        set("MURMEX_DOUBLE_LOG", logFile.toUtf8());
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
        // A few quick restarts, then none for the rest of the test.
        service->setServerRestartDelay([](int attempt) { return std::chrono::milliseconds(attempt < 3 ? 10 : 3'600'000); });
        Log::setSink([this](const QString &line) { logged.append(line); });
    }
    ~Rig()
    {
        service.reset();
        Log::setSink({});
        for (auto variable = variables.crbegin(); variable != variables.crend(); ++variable)
            if (variable->second)
                qputenv(variable->first.constData(), *variable->second);
            else
                qunsetenv(variable->first.constData());
    }

    void record(int segmentCount)
    {
        segments.clear();
        QDir().mkpath(folder);
        for (int i = 1; i <= segmentCount; ++i) {
            segments.append(folder + QStringLiteral("/segment-%1.wav").arg(i, 3, 10, QLatin1Char('0')));
            QVERIFY(writeToneWav(segments.last(), 1.0));
        }
    }

    void set(const QByteArray &name, const QByteArray &value)
    {
        variables.append({name, qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData())) : std::nullopt});
        qputenv(name.constData(), value);
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
    bool waitForEnd(int jobs = 1) { return QTest::qWaitFor([&] { return host.ends >= jobs; }, jobTimeout); }
    bool waitFor(const QString &program, const QString &event, int count = 1)
    {
        return QTest::qWaitFor([&] { return events(program, event).size() >= count; }, jobTimeout);
    }
};

} // namespace

class TranscriptionTest : public QObject {
    Q_OBJECT

private slots:
    // Each row: the engines there, the voice-activity model, what the engine hears in each segment
    // ("|" between segments), a setting of the doubles, the server job's outcome (-1: no server
    // job), the engine whose command line made the text, that command line, the pasted text, and
    // the alert of a failure that keeps the recording.
    // In the command lines, $VAD, $SEGMENTS, $MODELS, $FOLDER and $PORT stand for this run's values.
    void recordingBecomesText_data()
    {
        QTest::addColumn<QStringList>("engines");
        QTest::addColumn<bool>("vad");
        QTest::addColumn<QString>("heard");
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<int>("serverJob");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("pasted"); // empty: nothing to paste
        QTest::addColumn<QString>("alert");

        const QStringList server{"server"}, cli{"cli"};
        const QStringList cliArguments{"--model", "$MODELS/ggml-base.bin", "--language", "es", "--no-timestamps", "--suppress-nst", "--output-txt", "--no-prints"};
        QTest::newRow("server: a phrase across segments, noise between")
            << server << true << "hola desde nueva|[Música]|york, adiós" << QByteArray() << 1 << "whisper-server"
            << QStringList{"--host", "127.0.0.1", "--port", "$PORT", "--model", "$MODELS/ggml-base.bin", "--language", "es", "--no-timestamps",
                           "--suppress-nst", "$VAD", "--threads", "4", "--beam-size", "5", "--best-of", "5"}
            << "hola desde Nueva York, adiós" << "";
        QTest::newRow("server still loading is waited for")
            << server << true << "por fin" << QByteArray("MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS=1200") << 1 << "whisper-server" << QStringList() << "por fin" << "";
        QTest::newRow("server fails for good: the command line does it all")
            << (server + cli) << true << "uno|dos|tres" << QByteArray("MURMEX_DOUBLE_SERVER_FAIL=2-") << 0 << "whisper-cli"
            << cliArguments + QStringList{"$VAD", "$SEGMENTS"} << "uno dos tres" << "";
        QTest::newRow("no voice-activity model: no server, command line without it")
            << (server + cli) << false << "sin modelo" << QByteArray() << -1 << "whisper-cli" << cliArguments + QStringList{"$SEGMENTS"} << "sin modelo" << "";
        QTest::newRow("openai-whisper before the command line")
            << QStringList{"cli", "python"} << true << "primero|segundo" << QByteArray() << -1 << "whisper"
            << QStringList{"$SEGMENTS", "--model", "base", "--language", "es", "--task", "transcribe", "--output_format", "txt",
                           "--output_dir", "$FOLDER", "--verbose", "False", "--fp16", "False"}
            << "primero segundo" << "";
        QTest::newRow("nothing but noise: no paste, no alert")
            << server << true << "[Música]|(risas)|" << QByteArray() << 1 << "whisper-server" << QStringList() << "" << "";
        QTest::newRow("no engine at all: the recording stays")
            << QStringList() << true << "hola" << QByteArray() << -1 << "" << QStringList() << "" << "Motor de transcripción no disponible";
        QTest::newRow("command line hears nothing: no paste, no alert")
            << cli << true << "|" << QByteArray() << -1 << "whisper-cli" << QStringList() << "" << "";
        QTest::newRow("command line exits with 1: the recording stays")
            << cli << true << "hola" << QByteArray("MURMEX_DOUBLE_CLI_EXIT_STATUS=1") << -1 << "whisper-cli" << QStringList() << ""
            << "No se pudo completar la transcripción";
        QTest::newRow("command line exits with 0 but writes nothing: the recording stays")
            << cli << true << "hola" << QByteArray("MURMEX_DOUBLE_CLI_NO_TXT=1") << -1 << "whisper-cli" << QStringList() << ""
            << "No se pudo completar la transcripción";
    }

    void recordingBecomesText()
    {
        QFETCH(QStringList, engines);
        QFETCH(bool, vad);
        QFETCH(QString, heard);
        QFETCH(QByteArray, setting);
        QFETCH(int, serverJob);
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, pasted);
        QFETCH(QString, alert);

        Rig rig(engines, vad, int(heard.count(QLatin1Char('|'))) + 1);
        QVERIFY(rig.dictionary.save({{QStringLiteral("nueva york"), QStringLiteral("Nueva York")}}, TranscriptionLanguage::spanish));
        rig.set("MURMEX_DOUBLE_TRANSCRIPTS", heard.toUtf8());
        if (!setting.isEmpty())
            rig.set(setting.left(setting.indexOf('=')), setting.mid(setting.indexOf('=') + 1));
        if (engines.contains(QStringLiteral("server"))) {
            rig.service->startWhisperCPPServer();
            QCOMPARE(rig.service->isServerRunning(), vad); // no server without the voice-activity model
        }
        QSignalSpy finished(rig.service.get(), &WhisperTranscriptionService::serverJobFinished);
        const qint64 segmentSize = QFileInfo(rig.segments.first()).size();
        rig.fake.alerts.answer = 0; // "Mostrar grabación"
        rig.service->transcribe(rig.segments, rig.folder);
        QCOMPARE(rig.host.starts, engines.isEmpty() ? 0 : 1); // with no engine nothing starts
        QVERIFY(rig.waitForEnd());

        QCOMPARE(rig.insertion.pasted, pasted.isEmpty() ? QStringList() : QStringList{pasted});
        if (!pasted.isEmpty())
            QCOMPARE(rig.insertion.targets.first(), std::optional<qint64>(777));
        if (alert.isEmpty()) {
            QVERIFY(!QFile::exists(rig.folder)); // deleted once the text is out
            QVERIFY(rig.fake.alerts.shown.isEmpty());
        } else {
            for (const QString &segment : rig.segments)
                QVERIFY(QFile::exists(segment));
            QCOMPARE(rig.fake.alerts.shown.size(), 1);
            QCOMPARE(rig.fake.alerts.shown.first().message, alert);
            QVERIFY(rig.fake.alerts.shown.first().informativeText.endsWith(QStringLiteral("\n\n") + rig.folder));
            QCOMPARE(rig.fake.alerts.shown.first().buttons, (QStringList{QStringLiteral("Mostrar grabación"), QStringLiteral("Aceptar")}));
            QCOMPARE(rig.fake.shell.revealed, QStringList{rig.folder});
            // Not announced a second time at the next launch.
            QCOMPARE(rig.defaults.string(QStringLiteral("lastRecoveryNotice")).value_or(QString()), rig.folder);
            QVERIFY(!rig.host.target); // the text has nowhere to go any more
            if (!program.isEmpty()) { // the engine's output stays beside the recording, and its end is logged
                QFile log(rig.folder + QStringLiteral("/transcription.log"));
                QVERIFY(log.open(QIODevice::ReadOnly));
                const QString last = QString::fromUtf8(log.readAll()).trimmed().section(QLatin1Char('\n'), -1);
                QVERIFY(!last.isEmpty());
                QVERIFY(rig.logged.filter(QStringLiteral("Últimas líneas: ")).join(QLatin1Char('\n')).contains(last));
            }
        }
        QCOMPARE(finished.isEmpty() ? -1 : int(finished.first().first().toBool()), serverJob);
        if (serverJob == 0) // a server that failed a job is ended and started again
            QVERIFY(rig.waitFor(QStringLiteral("whisper-server"), QStringLiteral("listening"), 2));
        else
            QCOMPARE(rig.service->isServerRunning(), serverJob == 1);
        if (program != QLatin1String("whisper-cli"))
            QVERIFY(rig.events(QStringLiteral("whisper-cli"), QStringLiteral("start")).isEmpty());
        if (serverJob == 1) { // every segment posted once, whole, asking for plain Spanish text
            const auto requests = rig.events(QStringLiteral("whisper-server"), QStringLiteral("request"));
            QCOMPARE(requests.size(), rig.segments.size());
            QCOMPARE(requests.first().value(QStringLiteral("file")).toObject().value(QStringLiteral("size")).toInteger(), segmentSize);
            const QJsonObject fields = requests.first().value(QStringLiteral("fields")).toObject();
            QCOMPARE(fields.value(QStringLiteral("response_format")).toString(), QStringLiteral("text"));
            QCOMPARE(fields.value(QStringLiteral("language")).toString(), QStringLiteral("es"));
        }
        if (arguments.isEmpty())
            return;
        const QString port = QString::number(WhisperTranscriptionService::whisperServerPort(QCoreApplication::applicationPid()));
        QStringList expected;
        for (const QString &argument : arguments) {
            if (argument == QLatin1String("$VAD"))
                expected += QStringList{QStringLiteral("--vad"), QStringLiteral("--vad-model"), rig.models + QStringLiteral("/ggml-silero-v6.2.0.bin"),
                                        QStringLiteral("--vad-threshold"), QStringLiteral("0.50"), QStringLiteral("--vad-min-speech-duration-ms"),
                                        QStringLiteral("250"), QStringLiteral("--vad-min-silence-duration-ms"), QStringLiteral("500"),
                                        QStringLiteral("--vad-speech-pad-ms"), QStringLiteral("100")};
            else if (argument == QLatin1String("$SEGMENTS"))
                expected += rig.segments;
            else
                expected.append(QString(argument).replace(QLatin1String("$MODELS"), rig.models).replace(QLatin1String("$FOLDER"), rig.folder).replace(QLatin1String("$PORT"), port));
        }
        QCOMPARE(rig.arguments(program), expected);
    }

    // The recording goes to the server started here and nowhere else: not through a proxy named by
    // the environment or by curl's configuration file, and not to another program that took the
    // server's port while the server was loading its model. Then the command line transcribes it,
    // and the next server gets another port.
    void recordingReachesOnlyTheServer_data()
    {
        QTest::addColumn<bool>("onServerPort"); // where the listener is: the server's port, or any as a proxy
        QTest::addColumn<QString>("program");   // the engine that transcribed
        QTest::newRow("proxies in the environment and in ~/.curlrc") << false << "whisper-server";
        QTest::newRow("another program on the server's port") << true << "whisper-cli";
    }

    void recordingReachesOnlyTheServer()
    {
        QFETCH(bool, onServerPort);
        QFETCH(QString, program);
        const qint64 pid = QCoreApplication::applicationPid();
        QTcpServer listener;
        int connections = 0;
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *connection = listener.nextPendingConnection()) {
                ++connections;
                connection->abort();
                connection->deleteLater();
            }
        });
        QVERIFY2(listener.listen(QHostAddress::LocalHost, onServerPort ? WhisperTranscriptionService::whisperServerPort(pid) : 0), qPrintable(listener.errorString()));
        Rig rig({QStringLiteral("server"), QStringLiteral("cli")}, true, 2);
        rig.set("MURMEX_DOUBLE_TRANSCRIPTS", "hola|mundo");
        if (onServerPort) {
            rig.set("MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS", "600000"); // loading its model all along
        } else {
            const QByteArray proxy = "http://127.0.0.1:" + QByteArray::number(listener.serverPort());
            for (const char *name : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"})
                rig.set(name, proxy);
            QFile curlrc(rig.home.filePath(QStringLiteral(".curlrc")));
            QVERIFY(curlrc.open(QIODevice::WriteOnly) && curlrc.write("proxy = \"" + proxy + "\"\n") > 0);
            curlrc.close();
            rig.set("HOME", rig.home.path().toUtf8());
        }
        rig.service->startWhisperCPPServer();
        QVERIFY(rig.service->isServerRunning());
        QSignalSpy finished(rig.service.get(), &WhisperTranscriptionService::serverJobFinished);
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd());
        QCoreApplication::processEvents(); // a connection made would be counted by now

        QCOMPARE(connections, 0);
        QCOMPARE(rig.insertion.pasted, QStringList{QStringLiteral("hola mundo")});
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toBool(), !onServerPort);
        QCOMPARE(rig.events(QStringLiteral("whisper-server"), QStringLiteral("request")).size(), onServerPort ? 0 : rig.segments.size());
        QCOMPARE(rig.events(QStringLiteral("whisper-cli"), QStringLiteral("start")).size(), program == QLatin1String("whisper-cli") ? 1 : 0);
        if (!onServerPort)
            return;
        const QString taken = QStringLiteral("[MurmexTranscription] El puerto %1 no es del servidor local: ").arg(WhisperTranscriptionService::whisperServerPort(pid));
        QVERIFY2(!rig.logged.filter(taken).isEmpty(), qPrintable(rig.logged.join(QLatin1Char('\n'))));
        QVERIFY(rig.waitFor(QStringLiteral("whisper-server"), QStringLiteral("start"), 2));
        const QStringList arguments = rig.arguments(QStringLiteral("whisper-server"));
        QCOMPARE(arguments.value(arguments.indexOf(QStringLiteral("--port")) + 1).toInt(), WhisperTranscriptionService::whisperServerPort(pid, 1));
    }

    void serverRestartDelay_data()
    {
        QTest::addColumn<int>("attempt");
        QTest::addColumn<int>("seconds");
        for (const auto &[attempt, seconds] : {std::pair{0, 1}, {1, 5}, {2, 30}, {3, 300}, {20, 300}})
            QTest::addRow("attempt %d", attempt) << attempt << seconds;
    }

    void serverRestartDelay()
    {
        QFETCH(int, attempt);
        QFETCH(int, seconds);
        QCOMPARE(WhisperTranscriptionService::serverRestartDelay(attempt).count(), seconds * 1000);
    }

    // A server that ends on its own is logged with its last lines; the dictation right after goes to
    // whisper-cli, and the server is started again. A model it cannot load is said once.
    void serverEndsOnItsOwn_data()
    {
        QTest::addColumn<bool>("badModel");
        QTest::addColumn<QString>("logged"); // $MODELS and $PORT as above
        QTest::newRow("killed after a job: back for the next one")
            << false << "[MurmexTranscription] El servidor local terminó (señal 9). Últimas líneas: whisper-server (test double): listening at http://127.0.0.1:$PORT";
        QTest::newRow("model refused at start: said once")
            << true << "[MurmexTranscription] El servidor local terminó (estado 3). Últimas líneas: whisper_init_from_file_with_params_no_state: "
                       "loading model from '$MODELS/ggml-base.bin' | whisper_init_with_params_no_state: failed to load model | error: failed to initialize whisper context";
    }

    void serverEndsOnItsOwn()
    {
        QFETCH(bool, badModel);
        QFETCH(QString, logged);
        Rig rig({QStringLiteral("server"), QStringLiteral("cli")}, true, 1);
        rig.set("MURMEX_DOUBLE_TRANSCRIPTS", "hola");
        rig.set("MURMEX_DOUBLE_SERVER_BAD_MODEL", badModel ? "1" : "0");
        QSignalSpy ended(rig.service.get(), &WhisperTranscriptionService::serverEnded);
        QSignalSpy finished(rig.service.get(), &WhisperTranscriptionService::serverJobFinished);
        const auto dictateOnEnd = [&] { // the moment the end is noticed, before any restart
            connect(rig.service.get(), &WhisperTranscriptionService::serverEnded, this, [&] {
                rig.record(1);
                rig.service->transcribe(rig.segments, rig.folder);
            }, Qt::SingleShotConnection);
        };
        if (badModel)
            dictateOnEnd();
        rig.service->startWhisperCPPServer();
        if (!badModel) {
            rig.service->transcribe(rig.segments, rig.folder);
            QVERIFY(rig.waitForEnd());
            dictateOnEnd();
            QVERIFY(::kill(pid_t(rig.service->serverProcessId()), SIGKILL) == 0);
        }
        const int jobs = badModel ? 1 : 2;
        QVERIFY(rig.waitForEnd(jobs));
        QCOMPARE(rig.insertion.pasted, QStringList(jobs, QStringLiteral("hola")));
        QCOMPARE(rig.events(QStringLiteral("whisper-cli"), QStringLiteral("start")).size(), 1);
        const QString port = QString::number(WhisperTranscriptionService::whisperServerPort(QCoreApplication::applicationPid()));
        QVERIFY2(rig.logged.contains(QString(logged).replace(QLatin1String("$MODELS"), rig.models).replace(QLatin1String("$PORT"), port)),
                 qPrintable(rig.logged.join(QLatin1Char('\n'))));
        if (badModel) { // the quick restarts fail too, without a second alert
            QVERIFY(QTest::qWaitFor([&] { return ended.size() == 4; }, jobTimeout));
            QCOMPARE(rig.fake.alerts.shown.size(), 1);
            QCOMPARE(rig.fake.alerts.shown.first().message, QStringLiteral("No se pudo cargar el modelo de voz"));
            QVERIFY(rig.fake.alerts.shown.first().informativeText.contains(rig.models + QStringLiteral("/ggml-base.bin")));
            return;
        }
        QVERIFY(rig.waitFor(QStringLiteral("whisper-server"), QStringLiteral("listening"), 2));
        QVERIFY(rig.fake.alerts.shown.isEmpty());
        rig.record(1);
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitForEnd(3));
        QCOMPARE(finished.last().first().toBool(), true);
        QCOMPARE(rig.events(QStringLiteral("whisper-server"), QStringLiteral("request")).last().value(QStringLiteral("pid")).toInteger(),
                 rig.service->serverProcessId());
    }

    // Quitting during a job: the engines are ended and nothing else happens; the recording stays.
    void quitDuringJob_data()
    {
        QTest::addColumn<QStringList>("engines");
        QTest::addColumn<QString>("program"); // whose start shows the job is under way
        QTest::addColumn<QString>("event");
        QTest::newRow("server") << QStringList{"server", "cli"} << "whisper-server" << "listening";
        QTest::newRow("command line") << QStringList{"cli"} << "whisper-cli" << "start";
    }

    void quitDuringJob()
    {
        QFETCH(QStringList, engines);
        QFETCH(QString, program);
        QFETCH(QString, event);
        Rig rig(engines, true, 1);
        rig.set("MURMEX_DOUBLE_DELAY_MS", "2000");
        rig.service->startWhisperCPPServer();
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(rig.waitFor(program, event));
        rig.service->terminateProcesses();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(jobTimeout)); // the request gave up
        QCoreApplication::sendPostedEvents();                             // and its outcome was handed over
        QCOMPARE(rig.host.starts, 1);
        QCOMPARE(rig.host.ends, 0);
        QCOMPARE(rig.host.target, std::optional<qint64>(777));
        QVERIFY(rig.fake.alerts.shown.isEmpty());
        QVERIFY(QFile::exists(rig.segments.first()));
        for (const QProcess *process : rig.service->findChildren<QProcess *>()) // no fallback engine, no new server
            QCOMPARE(process->state(), QProcess::NotRunning);
    }
};

QTEST_GUILESS_MAIN(TranscriptionTest)
#include "TranscriptionTest.moc"
