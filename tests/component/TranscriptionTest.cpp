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

class RecordingInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &text, const InsertionTarget &target, std::function<void()> completion) override
    {
        pasted.append(text);
        this->target = target.processId;
        QTimer::singleShot(10, std::move(completion));
    }
    QStringList pasted;
    std::optional<qint64> target; // of the last paste
};

QString statusName(EngineStatus status)
{
    const char *names[] = {"ready", "loading", "commandLineOnly", "modelMissing", "engineMissing"};
    return QString::fromLatin1(names[int(status)]);
}

class Host final : public TranscriptionHost {
public:
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
    std::optional<qint64> target = 777;
    QStringList delivered, copied, refused, statuses;
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

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
    RecordingInsertion insertion;
    QStringList clipboard;
    Host host;
    Settings defaults{home.filePath(u"Murmex.conf"_s)};
    PersonalDictionaryStore dictionary{home.filePath(u"Dictionaries"_s)};
    std::unique_ptr<WhisperTranscriptionService> service;

    // `engines`: which of "server", "cli", "python" are reachable; `vad`: the voice-activity model.
    Rig(const QStringList &engines, bool vad = true, int segmentCount = 3)
    {
        record(segmentCount);
        QVERIFY(QDir().mkpath(models) && writeFile(models + u"/ggml-base.bin"_s, "model") && (!vad || writeFile(vadModel, "model")));
        WhisperLocations locations;
        locations.searchPath = false;
        locations.modelFolders = {models};
        locations.pythonWhisperExecutable = engines.contains(u"python"_s) ? doubles + u"/whisper"_s : u"/nonexistent/whisper"_s;
        for (const QString &engine : {u"server"_s, u"cli"_s}) {
            const QString bin = home.filePath(engine), program = u"/whisper-"_s + engine;
            if (engines.contains(engine)) {
                QVERIFY(QDir().mkpath(bin) && QFile::link(doubles + program, bin + program));
                locations.executableFolders.append(bin);
            }
        }
        set("MURMEX_DOUBLE_LOG", logFile.toUtf8());
        QObject::connect(&trap, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *connection = trap.nextPendingConnection()) {
                ++trapped;
                connection->abort();
                connection->deleteLater();
            }
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
            WhisperTranscriptionService::Services{defaults, fake.alerts, fake.shell, insertion, applyDictionary, removeFolder,
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

    void record(int segmentCount)
    {
        segments.clear();
        QDir().mkpath(folder);
        for (int i = 1; i <= segmentCount; ++i) {
            segments.append(folder + u"/segment-%1.wav"_s.arg(i, 3, 10, QLatin1Char('0')));
            QVERIFY(writeToneWav(segments.last(), 1.0));
        }
    }
    void set(const QByteArray &name, const QByteArray &value)
    {
        variables.append({name, qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData())) : std::nullopt});
        qputenv(name.constData(), value);
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

class TranscriptionTest : public QObject {
    Q_OBJECT

private slots:
    // Each row: the engines there, the voice-activity model, what the engine hears in each segment
    // ("|" between segments), a setting of the doubles, the server job's outcome (-1: no server
    // job), the engine that made the text, the pasted text, the alert of a failure that keeps the
    // recording, and whether another program took the server's port while it loads its model.
    // Proxies are named in the environment and in ~/.curlrc all along: the recording goes to the
    // server started here and nowhere else.
    void recordingBecomesText_data()
    {
        QTest::addColumn<QStringList>("engines");
        QTest::addColumn<bool>("vad");
        QTest::addColumn<QString>("heard");
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<int>("serverJob");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("pasted"); // empty: nothing to paste
        QTest::addColumn<QString>("alert");
        QTest::addColumn<bool>("portTaken");

        const QStringList server{"server"}, cli{"cli"}, both{"server", "cli"};
        const auto row = [](const char *name, const QStringList &engines, bool vad, const char *heard, const char *setting, int serverJob,
                            const char *program, const char *pasted, const char *alert = "", bool portTaken = false) {
            QTest::newRow(name) << engines << vad << QString::fromUtf8(heard) << QByteArray(setting) << serverJob << QString::fromUtf8(program)
                                << QString::fromUtf8(pasted) << QString::fromUtf8(alert) << portTaken;
        };
        row("server, waited for while it loads: a phrase across segments, noise between", server, true, "hola desde nueva|[Música]|york, adiós",
            "MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS=1200", 1, "whisper-server", "hola desde Nueva York, adiós");
        row("server fails for good: the command line does it all", both, true, "uno|dos|tres", "MURMEX_DOUBLE_SERVER_FAIL=2-", 0, "whisper-cli",
            "uno dos tres");
        row("another program on the server's port: the command line does it", both, true, "hola|mundo", "MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS=600000",
            0, "whisper-cli", "hola mundo", "", true);
        row("no voice-activity model: no server, command line without it", both, false, "sin modelo", "", -1, "whisper-cli", "sin modelo");
        row("openai-whisper before the command line", {"cli", "python"}, true, "primero|segundo", "", -1, "whisper", "primero segundo");
        row("nothing but noise: no paste, no alert", server, true, "[Música]|(risas)|", "", 1, "whisper-server", "");
        row("no engine at all: the recording stays", {}, true, "hola", "", -1, "", "", "Motor de transcripción no disponible");
        row("command line hears nothing: no paste, no alert", cli, true, "|", "", -1, "whisper-cli", "");
        row("command line exits with 1: the recording stays", cli, true, "hola", "MURMEX_DOUBLE_CLI_EXIT_STATUS=1", -1, "whisper-cli", "",
            "No se pudo completar la transcripción");
        row("command line exits with 0 but writes nothing: the recording stays", cli, true, "hola", "MURMEX_DOUBLE_CLI_NO_TXT=1", -1, "whisper-cli",
            "", "No se pudo completar la transcripción");
    }

    void recordingBecomesText()
    {
        QFETCH(QStringList, engines);
        QFETCH(bool, vad);
        QFETCH(QString, heard);
        QFETCH(QByteArray, setting);
        QFETCH(int, serverJob);
        QFETCH(QString, program);
        QFETCH(QString, pasted);
        QFETCH(QString, alert);
        QFETCH(bool, portTaken);

        Rig rig(engines, vad, int(heard.count(u'|')) + 1);
        QVERIFY(rig.dictionary.save({{u"nueva york"_s, u"Nueva York"_s}}, TranscriptionLanguage::spanish));
        rig.set("MURMEX_DOUBLE_TRANSCRIPTS", heard.toUtf8());
        if (!setting.isEmpty())
            rig.set(setting.left(setting.indexOf('=')), setting.mid(setting.indexOf('=') + 1));
        if (portTaken) {
            rig.trap.close();
            QVERIFY(rig.trap.listen(QHostAddress::LocalHost, rig.serverPort()));
        }
        if (engines.contains(u"server"_s)) {
            rig.service->startWhisperCPPServer();
            QCOMPARE(rig.service->isServerRunning(), vad); // no server without the voice-activity model
        }
        QSignalSpy finished(rig.service.get(), &WhisperTranscriptionService::serverJobFinished);
        rig.fake.alerts.answer = 0; // "Mostrar grabación"
        rig.service->transcribe(rig.segments, rig.folder);
        QCOMPARE(rig.host.starts, engines.isEmpty() ? 0 : 1);
        QVERIFY(rig.waitForEnd());
        QCoreApplication::processEvents(); // a connection made would be counted by now

        QCOMPARE(rig.trapped, 0);
        QCOMPARE(rig.insertion.pasted, pasted.isEmpty() ? QStringList() : QStringList{pasted});
        QCOMPARE(rig.insertion.target, pasted.isEmpty() ? std::nullopt : std::optional<qint64>(777));
        QCOMPARE(rig.host.delivered, rig.insertion.pasted);
        const auto &shown = rig.fake.alerts.shown;
        if (alert.isEmpty()) {
            QVERIFY(!QFile::exists(rig.folder)); // deleted once the text is out
            QVERIFY(shown.isEmpty());
        } else {
            for (const QString &segment : rig.segments)
                QVERIFY(QFile::exists(segment));
            QCOMPARE(shown.size(), 1);
            QCOMPARE(shown.first().message, alert);
            QVERIFY(shown.first().informativeText.endsWith(u"\n\n"_s + rig.folder));
            QCOMPARE(shown.first().buttons, (QStringList{u"Mostrar grabación"_s, u"Aceptar"_s}));
            QCOMPARE(rig.fake.shell.revealed, QStringList{rig.folder});
            QCOMPARE(rig.defaults.string(u"lastRecoveryNotice"_s).value_or(QString()), rig.folder); // not announced again at launch
            QVERIFY(!rig.host.target); // the text has nowhere to go any more
            if (!program.isEmpty()) {  // the engine's output stays beside the recording, and its end is logged
                QFile log(rig.folder + u"/transcription.log"_s);
                const QString last = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).trimmed().section(u'\n', -1) : QString();
                QVERIFY(!last.isEmpty() && rig.logged.filter(u"Últimas líneas: "_s).join(u'\n').contains(last));
            }
        }
        QCOMPARE(finished.isEmpty() ? -1 : int(finished.first().first().toBool()), serverJob);
        // A server that failed a job is ended and started again, on the next port if its own was taken
        // (the first one may have been ended before it could say it started).
        const auto restarted = [&] {
            return portTaken ? rig.option(u"whisper-server"_s, u"--port"_s).toInt() == rig.serverPort(1)
                             : rig.events(u"whisper-server"_s, u"listening"_s).size() == 2;
        };
        if (serverJob == 0)
            QVERIFY2(QTest::qWaitFor(restarted, jobTimeout), qPrintable(rig.logged.join(u'\n')));
        else
            QCOMPARE(rig.service->isServerRunning(), serverJob == 1);
        if (serverJob >= 0) {
            QCOMPARE(rig.option(u"whisper-server"_s, u"--host"_s), u"127.0.0.1"_s);
            QCOMPARE(rig.option(u"whisper-server"_s, u"--port"_s).toInt(), rig.serverPort(portTaken ? 1 : 0));
        }
        if (program != u"whisper-cli"_s)
            QVERIFY(rig.events(u"whisper-cli"_s, u"start"_s).isEmpty());
        if (program.isEmpty())
            return;
        // Spanish asked for, and the voice-activity model passed to whisper.cpp when there is one.
        const auto requests = rig.events(u"whisper-server"_s, u"request"_s);
        QCOMPARE(serverJob == 1 ? requests.value(0).value(u"fields"_s).toObject().value(u"language"_s).toString() : rig.option(program, u"--language"_s),
                 u"es"_s);
        if (program.startsWith(u"whisper-"_s))
            QCOMPARE(rig.option(program, u"--vad-model"_s), vad ? rig.vadModel : QString());
    }

    // A kept recording transcribed again: its text goes to the clipboard, not into a window, and the
    // folder goes only then. Nothing heard keeps it, as a failure does; a job in progress refuses it.
    void keptRecordingTranscribedAgain_data()
    {
        QTest::addColumn<QStringList>("engines");
        QTest::addColumn<QString>("heard"); // in the kept recording's segments, "|" between them
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<bool>("busy");      // a dictation is being transcribed when it is asked for
        QTest::addColumn<QString>("copied"); // empty: nothing, the folder stays
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QString>("alert");

        const QStringList both{"server", "cli"}, cli{"cli"};
        QTest::newRow("server: on the clipboard, with the dictionary") << both << "hola desde nueva|york" << QByteArray() << false
                                                                        << "hola desde Nueva York" << "" << "";
        QTest::newRow("engine fails: kept, with the alert") << cli << "hola" << QByteArray("MURMEX_DOUBLE_CLI_EXIT_STATUS=1") << false << ""
                                                            << "" << "No se pudo completar la transcripción";
        QTest::newRow("nothing heard: kept, and said") << cli << "|[Música]" << QByteArray() << false << ""
                                                       << "No se oyó ninguna voz en la grabación." << "";
        QTest::newRow("another job runs: refused") << cli << "hola" << QByteArray() << true << ""
                                                   << "Ya hay una transcripción en curso; vuelve a intentarlo cuando termine." << "";
    }

    void keptRecordingTranscribedAgain()
    {
        QFETCH(QStringList, engines);
        QFETCH(QString, heard);
        QFETCH(QByteArray, setting);
        QFETCH(bool, busy);
        QFETCH(QString, copied);
        QFETCH(QString, refusal);
        QFETCH(QString, alert);

        Rig rig(engines, true, 1);
        QVERIFY(rig.dictionary.save({{u"nueva york"_s, u"Nueva York"_s}}, TranscriptionLanguage::spanish));
        rig.set("MURMEX_DOUBLE_TRANSCRIPTS", heard.toUtf8());
        if (!setting.isEmpty())
            rig.set(setting.left(setting.indexOf('=')), setting.mid(setting.indexOf('=') + 1));
        const QString kept = rig.recordings + u"/2026-12-05_09-30-00_0000CAFE"_s;
        QVERIFY(QDir().mkpath(kept));
        for (qsizetype i = 1; i <= heard.count(u'|') + 1; ++i)
            QVERIFY(writeToneWav(kept + u"/segment-%1.wav"_s.arg(i, 3, 10, QLatin1Char('0')), 1.0));
        if (engines.contains(u"server"_s)) {
            rig.service->startWhisperCPPServer();
            QVERIFY(rig.service->isServerRunning());
        }
        if (busy)
            rig.service->transcribe(rig.segments, rig.folder);
        rig.service->transcribeKeptRecording(kept);
        QCOMPARE(rig.host.starts, 1); // the dictation's, or the kept recording's
        QVERIFY(rig.waitForEnd());

        QCOMPARE(rig.clipboard, copied.isEmpty() ? QStringList() : QStringList{copied});
        QCOMPARE(rig.host.copied, rig.clipboard);
        QCOMPARE(rig.insertion.pasted, busy ? QStringList{u"hola"_s} : QStringList());
        QCOMPARE(rig.host.refused, refusal.isEmpty() ? QStringList() : QStringList{kept + u": "_s + refusal});
        QCOMPARE(QFile::exists(kept + u"/segment-001.wav"_s), copied.isEmpty());
        QCOMPARE(rig.fake.alerts.shown.size(), alert.isEmpty() ? 0 : 1);
        if (!alert.isEmpty())
            QCOMPARE(rig.fake.alerts.shown.first().message, alert);
        if (!copied.isEmpty())
            QCOMPARE(rig.events(u"whisper-server"_s, u"request"_s).size(), 2); // the server did it
    }

    // What the tray says of the engine, each change in turn, from the start of the services on.
    void engineStatus_data()
    {
        QTest::addColumn<QStringList>("engines");
        QTest::addColumn<bool>("model"); // ggml-base.bin
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<QStringList>("statuses");

        const QStringList both{"server", "cli"};
        QTest::newRow("server loading its model, then listening") << both << true << QByteArray("MURMEX_DOUBLE_SERVER_LISTEN_DELAY_MS=500")
                                                                  << QStringList{"loading", "ready"};
        QTest::newRow("model refused: missing, also while the server restarts")
            << both << true << QByteArray("MURMEX_DOUBLE_SERVER_BAD_MODEL=1") << QStringList{"loading", "modelMissing"};
        QTest::newRow("no model") << both << false << QByteArray() << QStringList{"modelMissing"};
        QTest::newRow("no model, but openai-whisper needs none") << QStringList{"python"} << false << QByteArray() << QStringList{"commandLineOnly"};
        QTest::newRow("no server program") << QStringList{"cli"} << true << QByteArray() << QStringList{"commandLineOnly"};
        QTest::newRow("no engine") << QStringList() << true << QByteArray() << QStringList{"engineMissing"};
    }

    void engineStatus()
    {
        QFETCH(QStringList, engines);
        QFETCH(bool, model);
        QFETCH(QByteArray, setting);
        QFETCH(QStringList, statuses);

        Rig rig(engines, true, 1);
        if (!model)
            QVERIFY(QFile::remove(rig.models + u"/ggml-base.bin"_s));
        if (!setting.isEmpty())
            rig.set(setting.left(setting.indexOf('=')), setting.mid(setting.indexOf('=') + 1));
        QSignalSpy ended(rig.service.get(), &WhisperTranscriptionService::serverEnded);
        rig.service->startServices();
        if (setting.contains("BAD_MODEL")) // and started again
            QVERIFY(QTest::qWaitFor([&] { return ended.size() >= 2; }, jobTimeout));
        QVERIFY2(QTest::qWaitFor([&] { return rig.host.statuses.size() >= statuses.size(); }, jobTimeout), qPrintable(rig.host.statuses.join(u' ')));
        QCOMPARE(rig.host.statuses, statuses);
        QCOMPARE(statusName(rig.service->engineStatus()), statuses.last());
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
        QTest::newRow("model refused at start: said once")
            << true << "estado 3" << "failed to load model | error: failed to initialize whisper context";
    }

    void serverEndsOnItsOwn()
    {
        QFETCH(bool, badModel);
        QFETCH(QString, ending);
        QFETCH(QString, lastLines);
        Rig rig({u"server"_s, u"cli"_s}, true, 1);
        rig.set("MURMEX_DOUBLE_TRANSCRIPTS", "hola");
        rig.set("MURMEX_DOUBLE_SERVER_BAD_MODEL", badModel ? "1" : "0");
        QSignalSpy ended(rig.service.get(), &WhisperTranscriptionService::serverEnded);
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
        QCOMPARE(rig.insertion.pasted, QStringList(jobs, u"hola"_s));
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
        rig.record(1);
        rig.service->transcribe(rig.segments, rig.folder);
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
        Rig rig(server ? QStringList{u"server"_s, u"cli"_s} : QStringList{u"cli"_s}, true, 1);
        rig.set("MURMEX_DOUBLE_DELAY_MS", "2000");
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
