// Recordings turned into text by real child processes: the doubles of the speech engines (same
// command lines, HTTP and transcript files) and the real curl. The recordings' folder has in its
// path the characters that curl's form syntax gives a meaning to (, ; " \).

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

using namespace Qt::StringLiterals;

namespace {

constexpr int jobTimeout = 30000;
const QString doubles = QStringLiteral(MURMEX_DOUBLES_DIR);

QString statusName(EngineStatus status)
{
    const char *names[] = {"ready", "loading", "commandLineOnly", "modelMissing", "engineMissing"};
    return QString::fromLatin1(names[int(status)]);
}

// The controller and the paste, as the service sees them.
class Host final : public TranscriptionHost, public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &text, const InsertionTarget &target, std::function<void()> completion) override
    {
        pasted.append(text);
        pasteTarget = target.processId;
        QTimer::singleShot(10, std::move(completion));
    }
    void transcriptionDidStart() override { ++starts; }
    void transcriptionDidEnd() override { ++ends; }
    TranscriptionLanguage transcriptionLanguage() const override { return TranscriptionLanguage::spanish; }
    InsertionTarget insertionTarget() const override { return {.window = 0, .processId = target}; }
    void clearInsertionTarget() override { target.reset(); }
    void transcriptionDelivered(const QString &text) override { delivered.append(text); }
    void keptRecordingCopied(const QString &text) override { copied.append(text); }
    void keptRecordingNotTranscribed(const QString &folder, const QString &reason) override { refused.append(folder + u": "_s + reason); }
    void engineStatusChanged(EngineStatus status) override { statuses.append(statusName(status)); }
    int starts = 0, ends = 0;
    std::optional<qint64> target = 777, pasteTarget;
    QStringList pasted, delivered, copied, refused, statuses;
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void writeSegments(QStringList &segments, const QString &folder, qsizetype count)
{
    QVERIFY(QDir().mkpath(folder));
    for (qsizetype i = 1; i <= count; ++i) {
        segments.append(folder + u"/segment-%1.wav"_s.arg(i, 3, 10, QLatin1Char('0')));
        QVERIFY(writeToneWav(segments.last(), 1.0));
    }
}

// A row of the tables below: what the engines find, and what should come of it.
struct Case {
    QStringList engines{};     // reachable: "server", "cli", "python"
    QString heard = u"hola"_s; // in each segment, "|" between segments
    QByteArray setting{};      // of the doubles, NAME=VALUE
    int serverJob = -1;        // the server job's outcome; -1: no server job
    QString program{};         // the engine that made the text
    QString text{};            // pasted, or copied from a kept recording; empty: none, and the folder stays
    QString alert{};           // of a failure that keeps the recording
    QString refusal{};         // of a kept recording not transcribed
    QStringList statuses{};    // of the engine, each change in turn
    bool vad = true;           // the voice-activity model is there
    bool model = true;         // the speech model is there
    bool portTaken = false;    // another program took the server's port while it loads its model
    bool busy = false;         // a dictation is being transcribed when a kept recording is asked for
};

// The service with the engines, models and settings of the row, a dictionary, and a dictation.
struct Rig {
    QTemporaryDir home;
    QString recordings = home.filePath(u"Datos, \"míos\"; copia\\1/Recordings"_s);
    QString folder = recordings + u"/2026-12-06_17-00-00_ABCDEF12"_s;
    QString models = home.filePath(u"Models"_s);
    QString vadModel = models + u"/ggml-silero-v6.2.0.bin"_s;
    QString logFile = home.filePath(u"doubles.log"_s);
    QStringList segments;
    QList<std::pair<QByteArray, std::optional<QByteArray>>> variables; // restored at the end
    QStringList logged;                                                 // Murmex's log lines
    QTcpServer trap; // every proxy curl could be told of; a connection here would take the recording elsewhere
    int trapped = 0;
    FakePlatform fake;
    QStringList clipboard;
    Host host;
    Settings defaults{home.filePath(u"Murmex.conf"_s)};
    PersonalDictionaryStore dictionary{home.filePath(u"Dictionaries"_s)};
    std::unique_ptr<WhisperTranscriptionService> service;

    explicit Rig(const Case &job)
    {
        record(job.heard.count(u'|') + 1);
        set("MURMEX_DOUBLE_TRANSCRIPTS", job.heard.toUtf8());
        set(job.setting);
        QVERIFY(dictionary.save({{u"nueva york"_s, u"Nueva York"_s}}, TranscriptionLanguage::spanish));
        QVERIFY(QDir().mkpath(models) && (!job.model || writeFile(models + u"/ggml-base.bin"_s, "model")) && (!job.vad || writeFile(vadModel, "model")));
        WhisperLocations locations;
        locations.searchPath = false;
        locations.modelFolders = {models};
        locations.pythonWhisperExecutable = job.engines.contains(u"python"_s) ? doubles + u"/whisper"_s : u"/nonexistent/whisper"_s;
        for (const QString &engine : {u"server"_s, u"cli"_s}) {
            const QString bin = home.filePath(engine), program = u"/whisper-"_s + engine;
            if (job.engines.contains(engine)) {
                QVERIFY(QDir().mkpath(bin) && QFile::link(doubles + program, bin + program));
                locations.executableFolders.append(bin);
            }
        }
        set("MURMEX_DOUBLE_LOG", logFile.toUtf8());
        QObject::connect(&trap, &QTcpServer::newConnection, [this] { // counted and closed, so that curl fails at once
            while (std::unique_ptr<QTcpSocket> connection{trap.nextPendingConnection()})
                ++trapped;
        });
        QVERIFY(trap.listen(QHostAddress::LocalHost));
        const QByteArray proxy = "http://127.0.0.1:" + QByteArray::number(trap.serverPort());
        for (const char *name : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"})
            set(name, proxy);
        QVERIFY(writeFile(home.filePath(u".curlrc"_s), "proxy = \"" + proxy + "\"\n"));
        set("HOME", home.path().toUtf8());
        const auto applyDictionary = [this](const QString &text, TranscriptionLanguage language) { return dictionary.applying(text, language); };
        const auto removeFolder = [this](const QString &path) {
            if (path.startsWith(recordings + u'/'))
                QDir(path).removeRecursively();
        };
        service = std::make_unique<WhisperTranscriptionService>(
            WhisperTranscriptionService::Services{defaults, fake.alerts, fake.shell, host, applyDictionary, removeFolder,
                                                  [this](const QString &text) { clipboard.append(text); }},
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
            variable->second ? qputenv(variable->first.constData(), *variable->second) : qunsetenv(variable->first.constData());
    }

    void record(qsizetype segmentCount)
    {
        segments.clear();
        writeSegments(segments, folder, segmentCount);
    }
    void set(const QByteArray &name, const QByteArray &value)
    {
        variables.append({name, qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData())) : std::nullopt});
        qputenv(name.constData(), value);
    }
    void set(const QByteArray &assignment) // NAME=VALUE, or nothing
    {
        if (!assignment.isEmpty())
            set(assignment.left(assignment.indexOf('=')), assignment.mid(assignment.indexOf('=') + 1));
    }
    // The doubles' record: what each program was started with, heard and answered.
    QList<QJsonObject> events(const QString &program, const QString &event) const
    {
        QList<QJsonObject> found;
        QFile file(logFile);
        for (const QByteArray &line : file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>()) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.value(u"program"_s).toString() == program && object.value(u"event"_s).toString() == event)
                found.append(object);
        }
        return found;
    }
    // The value of `option` on the command line `program` was last started with.
    QString option(const QString &program, const QString &option) const
    {
        const auto starts = events(program, u"start"_s);
        const QJsonArray arguments = starts.isEmpty() ? QJsonArray() : starts.last().value(u"arguments"_s).toArray();
        for (qsizetype i = 0; i + 1 < arguments.size(); ++i)
            if (arguments.at(i).toString() == option)
                return arguments.at(i + 1).toString();
        return {};
    }
    bool waitForEnd(int jobs = 1) { return QTest::qWaitFor([&] { return host.ends >= jobs; }, jobTimeout); }
    bool waitFor(const QString &program, const QString &event, int count = 1)
    {
        return QTest::qWaitFor([&] { return events(program, event).size() >= count; }, jobTimeout);
    }
    int serverPort(int candidate = 0) const { return WhisperTranscriptionService::whisperServerPort(QCoreApplication::applicationPid(), candidate); }
};

} // namespace

Q_DECLARE_METATYPE(Case)

class TranscriptionTest : public QObject {
    Q_OBJECT

private slots:
    // Proxies are named in the environment and in ~/.curlrc all along: the recording goes to the
    // server started here and nowhere else.
    void recordingBecomesText_data()
    {
        QTest::addColumn<Case>("job");
        const QStringList server{"server"}, cli{"cli"}, both{"server", "cli"};
        const QString failed = u"No se pudo completar la transcripción"_s;
        QTest::newRow("server, waited for while it loads: a phrase across segments, noise between")
            << Case{.engines = server, .heard = "hola desde nueva|[Música]|york, adiós", .setting = "MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS=1200",
                    .serverJob = 1, .program = "whisper-server", .text = "hola desde Nueva York, adiós"};
        QTest::newRow("server fails for good: the command line does it all")
            << Case{.engines = both, .heard = "uno|dos|tres", .setting = "MURMEX_DOUBLE_SERVER_FAIL=2-", .serverJob = 0, .program = "whisper-cli",
                    .text = "uno dos tres"};
        QTest::newRow("another program on the server's port: the command line does it")
            << Case{.engines = both, .heard = "hola|mundo", .setting = "MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS=600000", .serverJob = 0,
                    .program = "whisper-cli", .text = "hola mundo", .portTaken = true};
        QTest::newRow("no voice-activity model: no server, command line without it")
            << Case{.engines = both, .heard = "sin modelo", .program = "whisper-cli", .text = "sin modelo", .vad = false};
        QTest::newRow("openai-whisper before the command line")
            << Case{.engines = {"cli", "python"}, .heard = "primero|segundo", .program = "whisper", .text = "primero segundo"};
        QTest::newRow("nothing but noise: no paste, no alert")
            << Case{.engines = server, .heard = "[Música]|(risas)|", .serverJob = 1, .program = "whisper-server"};
        QTest::newRow("no engine at all: the recording stays") << Case{.alert = "Motor de transcripción no disponible"};
        QTest::newRow("command line hears nothing: no paste, no alert") << Case{.engines = cli, .heard = "|", .program = "whisper-cli"};
        QTest::newRow("command line exits with 1: the recording stays")
            << Case{.engines = cli, .setting = "MURMEX_DOUBLE_CLI_EXIT_STATUS=1", .program = "whisper-cli", .alert = failed};
        QTest::newRow("command line exits with 0 but writes nothing: the recording stays")
            << Case{.engines = cli, .setting = "MURMEX_DOUBLE_CLI_NO_TXT=1", .program = "whisper-cli", .alert = failed};
    }

    void recordingBecomesText()
    {
        QFETCH(Case, job);
        Rig rig(job);
        if (job.portTaken) {
            rig.trap.close();
            QVERIFY(rig.trap.listen(QHostAddress::LocalHost, rig.serverPort()));
        }
        if (job.engines.contains(u"server"_s)) {
            rig.service->startWhisperCPPServer();
            QCOMPARE(rig.service->isServerRunning(), job.vad); // no server without the voice-activity model
        }
        QSignalSpy finished(rig.service.get(), &WhisperTranscriptionService::serverJobFinished);
        rig.service->transcribe(rig.segments, rig.folder);
        QCOMPARE(rig.host.starts, job.engines.isEmpty() ? 0 : 1);
        QVERIFY(rig.waitForEnd());
        QCoreApplication::processEvents(); // a connection made would be counted by now
        QCOMPARE(rig.trapped, 0);
        QCOMPARE(rig.host.pasted, job.text.isEmpty() ? QStringList() : QStringList{job.text});
        QCOMPARE(rig.host.pasteTarget, job.text.isEmpty() ? std::nullopt : std::optional<qint64>(777));
        QCOMPARE(rig.host.delivered, rig.host.pasted);
        const auto &shown = rig.fake.alerts.shown;
        QCOMPARE(shown.size(), job.alert.isEmpty() ? 0 : 1);
        QCOMPARE(QFile::exists(rig.folder), !job.alert.isEmpty()); // deleted once the text is out
        if (!job.alert.isEmpty()) {
            for (const QString &segment : rig.segments)
                QVERIFY(QFile::exists(segment));
            QCOMPARE(shown.first().message, job.alert);
            QVERIFY(shown.first().informativeText.endsWith(u"\n\n"_s + rig.folder));
            QCOMPARE(shown.first().buttons, (QStringList{u"Mostrar grabación"_s, u"Aceptar"_s}));
            QCOMPARE(rig.fake.shell.revealed, QStringList{rig.folder}); // the alert's first button was chosen
            QCOMPARE(rig.defaults.string(u"lastRecoveryNotice"_s).value_or(QString()), rig.folder); // not announced again at launch
            QVERIFY(!rig.host.target); // the text has nowhere to go any more
            if (!job.program.isEmpty()) { // the engine's output stays beside the recording, and its end is logged
                QFile log(rig.folder + u"/transcription.log"_s);
                const QString last = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).trimmed().section(u'\n', -1) : QString();
                QVERIFY(!last.isEmpty() && rig.logged.filter(u"Últimas líneas: "_s).join(u'\n').contains(last));
            }
        }
        QCOMPARE(finished.isEmpty() ? -1 : int(finished.first().first().toBool()), job.serverJob);
        // A server that failed a job is ended and started again, on the next port if its own was taken
        // (the first one may have been ended before it could say it started).
        const auto restarted = [&] {
            return job.portTaken ? rig.option(u"whisper-server"_s, u"--port"_s).toInt() == rig.serverPort(1)
                                 : rig.events(u"whisper-server"_s, u"listening"_s).size() == 2;
        };
        if (job.serverJob == 0)
            QVERIFY2(QTest::qWaitFor(restarted, jobTimeout), qPrintable(rig.logged.join(u'\n')));
        else
            QCOMPARE(rig.service->isServerRunning(), job.serverJob == 1);
        if (job.serverJob >= 0) {
            QCOMPARE(rig.option(u"whisper-server"_s, u"--host"_s), u"127.0.0.1"_s);
            QCOMPARE(rig.option(u"whisper-server"_s, u"--port"_s).toInt(), rig.serverPort(job.portTaken ? 1 : 0));
        }
        if (job.program != u"whisper-cli"_s)
            QVERIFY(rig.events(u"whisper-cli"_s, u"start"_s).isEmpty());
        if (job.program.isEmpty())
            return;
        // Spanish asked for, and the voice-activity model passed to whisper.cpp when there is one.
        const auto requests = rig.events(u"whisper-server"_s, u"request"_s);
        QCOMPARE(job.serverJob == 1 ? requests.value(0).value(u"fields"_s).toObject().value(u"language"_s).toString()
                                    : rig.option(job.program, u"--language"_s),
                 u"es"_s);
        if (job.program.startsWith(u"whisper-"_s))
            QCOMPARE(rig.option(job.program, u"--vad-model"_s), job.vad ? rig.vadModel : QString());
    }

    // A kept recording transcribed again: its text goes to the clipboard, not into a window, and the
    // folder goes only then. Nothing heard keeps it, as a failure does; a job in progress refuses it.
    void keptRecordingTranscribedAgain_data()
    {
        QTest::addColumn<Case>("job");
        const QStringList cli{"cli"};
        QTest::newRow("server: on the clipboard, with the dictionary")
            << Case{.engines = {"server", "cli"}, .heard = "hola desde nueva|york", .text = "hola desde Nueva York"};
        QTest::newRow("engine fails: kept, with the alert")
            << Case{.engines = cli, .setting = "MURMEX_DOUBLE_CLI_EXIT_STATUS=1", .alert = "No se pudo completar la transcripción"};
        QTest::newRow("nothing heard: kept, and said") << Case{.engines = cli, .heard = "|[Música]", .refusal = "No se oyó ninguna voz en la grabación."};
        QTest::newRow("another job runs: refused")
            << Case{.engines = cli, .refusal = "Ya hay una transcripción en curso; vuelve a intentarlo cuando termine.", .busy = true};
    }

    void keptRecordingTranscribedAgain()
    {
        QFETCH(Case, job);
        Rig rig(job);
        const QString kept = rig.recordings + u"/2026-12-05_09-30-00_0000CAFE"_s;
        QStringList keptSegments;
        writeSegments(keptSegments, kept, job.heard.count(u'|') + 1);
        if (job.engines.contains(u"server"_s)) {
            rig.service->startWhisperCPPServer();
            QVERIFY(rig.service->isServerRunning());
        }
        if (job.busy)
            rig.service->transcribe(rig.segments, rig.folder);
        rig.service->transcribeKeptRecording(kept);
        QCOMPARE(rig.host.starts, 1); // the dictation's, or the kept recording's
        QVERIFY(rig.waitForEnd());

        QCOMPARE(rig.clipboard, job.text.isEmpty() ? QStringList() : QStringList{job.text});
        QCOMPARE(rig.host.copied, rig.clipboard);
        QCOMPARE(rig.host.pasted, job.busy ? QStringList{u"hola"_s} : QStringList());
        QCOMPARE(rig.host.refused, job.refusal.isEmpty() ? QStringList() : QStringList{kept + u": "_s + job.refusal});
        QCOMPARE(QFile::exists(keptSegments.first()), job.text.isEmpty());
        QCOMPARE(rig.fake.alerts.shown.size(), job.alert.isEmpty() ? 0 : 1);
        if (!job.alert.isEmpty())
            QCOMPARE(rig.fake.alerts.shown.first().message, job.alert);
        if (!job.text.isEmpty())
            QCOMPARE(rig.events(u"whisper-server"_s, u"request"_s).size(), 2); // the server did it
    }

    // What the tray says of the engine, each change in turn, from the start of the services on.
    void engineStatus_data()
    {
        QTest::addColumn<Case>("job");
        const QStringList both{"server", "cli"};
        QTest::newRow("server loading its model, then listening")
            << Case{.engines = both, .setting = "MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS=500", .statuses = {"loading", "ready"}};
        QTest::newRow("model refused: missing, also while the server restarts")
            << Case{.engines = both, .setting = "MURMEX_DOUBLE_SERVER_BAD_MODEL=1", .statuses = {"loading", "modelMissing"}};
        QTest::newRow("no model") << Case{.engines = both, .statuses = {"modelMissing"}, .model = false};
        QTest::newRow("no model, but openai-whisper needs none") << Case{.engines = {"python"}, .statuses = {"commandLineOnly"}, .model = false};
        QTest::newRow("no server program") << Case{.engines = {"cli"}, .statuses = {"commandLineOnly"}};
        QTest::newRow("no engine") << Case{.statuses = {"engineMissing"}};
    }

    void engineStatus()
    {
        QFETCH(Case, job);
        Rig rig(job);
        QSignalSpy ended(rig.service.get(), &WhisperTranscriptionService::serverEnded);
        rig.service->startServices();
        if (job.setting.contains("BAD_MODEL")) // and started again
            QVERIFY(QTest::qWaitFor([&] { return ended.size() >= 2; }, jobTimeout));
        QVERIFY2(QTest::qWaitFor([&] { return rig.host.statuses.size() >= job.statuses.size(); }, jobTimeout), qPrintable(rig.host.statuses.join(u' ')));
        QCOMPARE(rig.host.statuses, job.statuses);
        QCOMPARE(statusName(rig.service->engineStatus()), job.statuses.last());
    }

    // 1 s, 5 s, 30 s, then every 5 minutes.
    void serverRestartDelay()
    {
        for (const auto &[attempt, seconds] : {std::pair{0, 1}, {1, 5}, {2, 30}, {3, 300}, {20, 300}})
            QVERIFY2(WhisperTranscriptionService::serverRestartDelay(attempt).count() == seconds * 1000, qPrintable(QString::number(attempt)));
    }

    // A server that ends on its own is logged with its last lines; the dictation right after goes to
    // whisper-cli, and the server is started again. A model it cannot load is said once.
    void serverEndsOnItsOwn_data()
    {
        QTest::addColumn<bool>("badModel");
        QTest::addColumn<QString>("ending");    // as the log says it
        QTest::addColumn<QString>("lastLines"); // of the server's output, as the log quotes them
        QTest::newRow("killed after a job: back for the next one") << false << "señal 9" << "listening at http://127.0.0.1:";
        QTest::newRow("model refused at start: said once") << true << "estado 3" << "failed to load model | error: failed to initialize whisper context";
    }

    void serverEndsOnItsOwn()
    {
        QFETCH(bool, badModel);
        QFETCH(QString, ending);
        QFETCH(QString, lastLines);
        Rig rig({.engines = {"server", "cli"}, .setting = badModel ? "MURMEX_DOUBLE_SERVER_BAD_MODEL=1" : ""});
        QSignalSpy ended(rig.service.get(), &WhisperTranscriptionService::serverEnded);
        const auto dictate = [&] {
            rig.record(1);
            rig.service->transcribe(rig.segments, rig.folder);
        };
        // A dictation the moment the end is noticed, before any restart.
        const auto dictateOnEnd = [&] { connect(rig.service.get(), &WhisperTranscriptionService::serverEnded, this, dictate, Qt::SingleShotConnection); };
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
        QCOMPARE(rig.host.pasted, QStringList(jobs, u"hola"_s));
        QCOMPARE(rig.events(u"whisper-cli"_s, u"start"_s).size(), 1);
        const QStringList ends = rig.logged.filter(u"[MurmexTranscription] El servidor local terminó (%1). Últimas líneas: "_s.arg(ending));
        QVERIFY2(ends.join(u'\n').contains(lastLines), qPrintable(rig.logged.join(u'\n')));
        if (badModel) { // the quick restarts fail too, without a second alert
            QVERIFY(QTest::qWaitFor([&] { return ended.size() == 4; }, jobTimeout));
            QCOMPARE(rig.fake.alerts.shown.size(), 1);
            QCOMPARE(rig.fake.alerts.shown.first().message, u"No se pudo cargar el modelo de voz"_s);
            QVERIFY(rig.fake.alerts.shown.first().informativeText.contains(rig.models + u"/ggml-base.bin"_s));
            return;
        }
        QVERIFY(rig.waitFor(u"whisper-server"_s, u"listening"_s, 2));
        QVERIFY(rig.fake.alerts.shown.isEmpty());
        dictate();
        QVERIFY(rig.waitForEnd(3)); // on the new server
        QCOMPARE(rig.events(u"whisper-server"_s, u"request"_s).last().value(u"pid"_s).toInteger(), rig.service->serverProcessId());
    }

    // Quitting during a job: the engines are ended and nothing else happens; the recording stays.
    void quitDuringJob_data()
    {
        QTest::addColumn<bool>("server");
        QTest::newRow("server") << true;
        QTest::newRow("command line") << false;
    }

    void quitDuringJob()
    {
        QFETCH(bool, server);
        Rig rig({.engines = server ? QStringList{"server", "cli"} : QStringList{"cli"}, .setting = "MURMEX_DOUBLE_DELAY_MS=2000"});
        rig.service->startWhisperCPPServer();
        rig.service->transcribe(rig.segments, rig.folder);
        QVERIFY(server ? rig.waitFor(u"whisper-server"_s, u"listening"_s) : rig.waitFor(u"whisper-cli"_s, u"start"_s)); // the job is under way
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
