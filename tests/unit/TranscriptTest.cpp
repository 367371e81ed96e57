// What the recogniser wrote that is not speech or text, joining segments, who listens on the server's port,
// where engines are looked for, the clean-up of an earlier run's server, and the kept recordings.

#include "FakePlatform.h"
#include "TestWav.h"
#include "insertion/TextInsertion.h"
#include "support/Processes.h"
#include "support/Settings.h"
#include "transcription/KeptRecordings.h"
#include "transcription/ListeningSocket.h"
#include "transcription/WhisperTranscriptionService.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <array>

#include <unistd.h>

namespace {

class NoInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &, const InsertionTarget &, std::function<void()>) override {}
};

// A service among fakes, its settings in `folder`.
struct Rig {
    explicit Rig(const QString &folder, WhisperTranscriptionService::Substitution dictionary = {})
        : defaults(folder + QStringLiteral("/Murmex.conf")), service({defaults, fake.alerts, fake.shell, insertion, std::move(dictionary), {}}, {})
    {
    }
    FakePlatform fake;
    NoInsertion insertion;
    Settings defaults;
    WhisperTranscriptionService service;
};

} // namespace

class TranscriptTest : public QObject {
    Q_OBJECT

private slots:
    // Each segment's transcript (null: no file) and the text after the speech filter, the joining and a dictionary
    // turning "firma" into a line break, a tab and controls: one line that a terminal cannot take for keys.
    void finalText_data()
    {
        QTest::addColumn<QStringList>("segments");
        QTest::addColumn<QString>("text"); // empty: nothing spoken

        const auto row = [](const char *name, const QStringList &segments, const QString &text) { QTest::newRow(name) << segments << text; };
        row("annotations around speech, brackets mixed", {"(risas) hola [silencio) (aplausos)"}, "hola");
        row("noise words only", {"Música, aplausos... ruido"}, "");
        row("noise word in speech is kept", {"música nueva"}, "música nueva");
        row("note symbols and emoji notes", {"♪🎵 la la 🎶"}, "la la");
        row("punctuation only", {"..."}, "");
        row("white space: line feeds, tabs, line and paragraph separators, NEL, no-break",
            {"  hola\n\n  que\u2028tal \t", "uno\u2029dos\u0085tres\u00A0\u3000cuatro\r\n"}, "hola que tal uno dos tres cuatro");
        row("end of a bracketed paste, Ctrl-O, C0 and C1 controls, NUL",
            {QStringLiteral("hola\x1b[201~\x0f" "a\x07" "b\x7f" "\u009B" "c\u0080" "d") + QChar(0) + QStringLiteral("e\x1b[200~")}, "hola[201~abcde[200~");
        row("marks, overrides, embeddings and isolates that reorder text",
            {"uno\u202Eodnum\u202C \u2066dos\u2069 \u202Atres\u202B\u200E\u200F\u2067\u2068"}, "unoodnum dos tres");
        row("a dictionary replacement brings no line break or control", {"mi firma"}, "mi Saludos, Ana");
        row("ordinary text unchanged", {"¿Qué tal, señor Pérez? Café «solo» — 3,5 € 😀 עברית"}, "¿Qué tal, señor Pérez? Café «solo» — 3,5 € 😀 עברית");
        row("digits are speech", {"42"}, "42");
        row("segments joined, a missing transcript skipped", {" uno\n", QString(), "[Música]\n", " dos.\n"}, "uno dos.");
    }

    void finalText()
    {
        QFETCH(QStringList, segments);
        QTemporaryDir folder;
        QStringList transcripts;
        for (int i = 0; i < segments.size(); ++i) {
            transcripts.append(folder.filePath(QStringLiteral("segment-%1-server.txt").arg(i + 1)));
            if (segments.at(i).isNull())
                continue;
            QFile file(transcripts.last());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(segments.at(i).toUtf8()) >= 0);
        }
        const Rig rig(folder.path(), [](const QString &text, TranscriptionLanguage) {
            return QString(text).replace(QStringLiteral("firma"), QStringLiteral("Saludos,\n\t\x1b\u202EAna\r\n"));
        });
        QTEST(rig.service.finalText(transcripts), "text");
    }

    // The recordings root: "path=seconds" a segment (0: header only), "path/" an empty folder, "path" a file,
    // "link->target" a link; EN-CURSO is in use. Listed: "folder seconds segments", newest first, at most two.
    // The times in the folders' names run opposite to the names and to their files' ages.
    void keptRecordingsListed_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("by the time in the name, else the newest segment's; audio summed; segments by number; the newest two")
            << QStringList{"2001-01-03_08-00-00_AAAAAAAA/segment-999.wav=1", "2001-01-03_08-00-00_AAAAAAAA/segment-1000.wav=0.5",
                           "2001-01-03_08-00-00_AAAAAAAA/segment-1001.wav=0", "2001-01-02_10-00-00_BBBBBBBB/segment-001.wav=2",
                           "sin-fecha/segment-001.wav=1"}
            << QStringList{"sin-fecha 1 segment-001.wav", "2001-01-03_08-00-00_AAAAAAAA 1.5 segment-999.wav,segment-1000.wav"};
        QTest::newRow("left out: the one in use, hidden, a link, a plain file, no segment, no audio")
            << QStringList{"2001-01-01_00-00-00_EN-CURSO/segment-001.wav=1", ".oculta/segment-001.wav=1", "2001-01-04_00-00-00_GUARDADA/segment-001.wav=1",
                           "enlace->2001-01-04_00-00-00_GUARDADA", "suelto.wav", "vacia/", "sin-audio/segment-001.wav=0", "otra/notas.wav=1"}
            << QStringList{"2001-01-04_00-00-00_GUARDADA 1 segment-001.wav"};
        QTest::newRow("no recordings folder") << QStringList() << QStringList();
    }

    void keptRecordingsListed()
    {
        QFETCH(QStringList, entries);
        QTemporaryDir home;
        const QString root = home.filePath(QStringLiteral("Recordings"));
        for (const QString &entry : entries) {
            const QString path = root + QLatin1Char('/') + entry.section(QLatin1Char('='), 0, 0).section(QStringLiteral("->"), 0, 0);
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            if (entry.contains(QStringLiteral("->")))
                QVERIFY(QFile::link(root + QLatin1Char('/') + entry.section(QStringLiteral("->"), 1), path));
            else if (entry.contains(QLatin1Char('=')))
                QVERIFY(writeToneWav(path, entry.section(QLatin1Char('='), 1).toDouble()));
            else
                QVERIFY(entry.endsWith(QLatin1Char('/')) ? QDir().mkpath(path) : QFile(path).open(QIODevice::WriteOnly));
        }
        QStringList listed;
        for (const KeptRecording &recording : keptRecordings(root, {root + QStringLiteral("/2001-01-01_00-00-00_EN-CURSO/")}, 2)) {
            QStringList segments;
            for (const QString &segment : recording.segments)
                segments.append(QFileInfo(segment).fileName());
            listed.append(QStringLiteral("%1 %2 %3").arg(QFileInfo(recording.folder).fileName()).arg(recording.speechSeconds).arg(segments.join(u',')));
        }
        QTEST(listed, "listed");
    }

    void keptRecordingTitle_data()
    {
        QTest::addColumn<QDateTime>("date");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("title");
        QTest::newRow("minutes") << QDateTime(QDate(2025, 12, 7), QTime(14, 5, 59)) << 42.4 << "7 dic 14:05 · 0:42";
        QTest::newRow("from an hour on") << QDateTime(QDate(2026, 1, 1), QTime(9, 0)) << 3725.2 << "1 ene 09:00 · 1:02:05";
        QTest::newRow("less than a second shows one") << QDateTime(QDate(2026, 9, 30), QTime(23, 59)) << 0.3 << "30 sept 23:59 · 0:01";
    }

    void keptRecordingTitle()
    {
        QFETCH(QDateTime, date);
        QFETCH(double, seconds);
        QTEST(menuTitle({.folder = {}, .date = date, .speechSeconds = seconds, .segments = {}}), "title");
    }

    // Lines of /proc/net/tcp or tcp6 and the server's sockets: who holds 127.0.0.1:31337 (hex 7A69).
    void portHolder_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("holder"); // "nobody", "process" or "another"

        const auto line = [](const char *address, const char *state, int uid, int inode) {
            return QByteArray("   0: ") + address + " 00000000:0000 " + state + " 00000000:00000000 00:00000000 00000000  " + QByteArray::number(uid)
                   + "        0 " + QByteArray::number(inode) + " 1 0000000000000000 100 0 0 10 0\n";
        };
        const QByteArray ours = line("0100007F:7A69", "0A", 1000, 4242);
        QTest::newRow("the server's listener") << ours + line("0100007F:7A6A", "0A", 1001, 5151) << "process";
        QTest::newRow("nothing listens yet: a connection and another port")
            << line("0100007F:7A69", "01", 1000, 0) + line("0100007F:7A6A", "0A", 1001, 5151) << "nobody";
        QTest::newRow("another listener beside the server's") << ours + line("0100007F:7A69", "0A", 1000, 6161) << "another";
        QTest::newRow("every IPv4 address") << line("00000000:7A69", "0A", 1001, 5151) << "another";
        QTest::newRow("127.0.0.2 is not reached") << ours + line("0200007F:7A69", "0A", 1001, 5151) << "process";
        QTest::newRow("every IPv6 address") << line("00000000000000000000000000000000:7A69", "0A", 1001, 5151) << "another";
        QTest::newRow("IPv4-mapped 127.0.0.1") << line("0000000000000000FFFF00000100007F:7A69", "0A", 1001, 5151) << "another";
        QTest::newRow("::1 is not reached") << line("00000000000000000000000001000000:7A69", "0A", 1001, 5151) << "nobody";
        QTest::newRow("cut short and garbled lines") << QByteArray("   0: 0100007F:7A69 00000000:0000 0A 00000000:00000000\n   1: 0100007F:ZZZZ x 0A") << "nobody";
    }

    void portHolder()
    {
        QFETCH(QByteArray, table);
        const QByteArray header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
        const ListeningSocket::Check check = ListeningSocket::holderOf(ListeningSocket::loopbackListeners(header + table, 31337), {99, 4242});
        QTEST(QString::fromLatin1(std::array{"nobody", "process", "another"}[int(check.holder)]), "holder");
        QCOMPARE(check.reason.isEmpty(), check.holder != ListeningSocket::Holder::another); // the log says who holds it
    }

    // Only absolute PATH entries are searched: "", "." and "bin" lead to whisper-cli copies in the current folder.
    void enginesOnPath()
    {
        QTemporaryDir folder;
        const QString absolute = folder.filePath(QStringLiteral("absolute"));
        for (const QString &bin : {folder.path(), folder.filePath(QStringLiteral("bin")), absolute}) {
            QFile program(bin + QStringLiteral("/whisper-cli"));
            QVERIFY(QDir().mkpath(bin) && program.open(QIODevice::WriteOnly) && program.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        }
        const QString previousFolder = QDir::currentPath();
        const QByteArray previousPath = qgetenv("PATH");
        QVERIFY(QDir::setCurrent(folder.path()));
        qputenv("PATH", "::.:bin:" + absolute.toUtf8());
        const auto executable = Rig(folder.path()).service.whisperCLIExecutable();
        qputenv("PATH", previousPath);
        QDir::setCurrent(previousFolder);
        QCOMPARE(executable.value_or(QString()), absolute + QStringLiteral("/whisper-cli"));
    }

    // The start time sits after the command name, which may itself hold spaces and parentheses.
    void startTimeInStat()
    {
        const QByteArray fields = " S 1 4 4 0 -1 4194560 120 0 0 0 3 1 0 0 20 0 1 0 987654 6000 100";
        QCOMPARE(Processes::startTimeInStat("4242 (a) S 1 2 (b)" + fields), std::optional<quint64>(987654));
        QCOMPARE(Processes::startTimeInStat("4242 (whisper-server) S 1 4"), std::nullopt);
    }

    // A real process stands for the server an earlier run left; the record names it more or less.
    void orphanedServer_data()
    {
        QTest::addColumn<QString>("storedExecutable"); // "" = not stored
        QTest::addColumn<int>("startTimeOffset");      // added to the child's start time; -1: not stored
        QTest::addColumn<bool>("otherUser");           // the child runs as nobody
        QTest::addColumn<bool>("signalled");

        const QString sleep = QStringLiteral("/bin/sleep");
        QTest::newRow("path plus a space and arguments") << sleep << 0 << false << true;
        QTest::newRow("the program the path leads to") << QFileInfo(sleep).canonicalFilePath() << 0 << false << true;
        QTest::newRow("same program started at another time") << sleep << 1 << false << false;
        QTest::newRow("no start time stored") << sleep << -1 << false << false;
        QTest::newRow("another user's process") << sleep << 0 << true << false;
        QTest::newRow("path with other text attached") << "/bin/sle" << 0 << false << false;
        QTest::newRow("another program") << "/usr/bin/whisper-server" << 0 << false << false;
        QTest::newRow("no executable stored") << "" << 0 << false << false;
    }

    void orphanedServer()
    {
        QFETCH(QString, storedExecutable);
        QFETCH(int, startTimeOffset);
        QFETCH(bool, otherUser);
        QFETCH(bool, signalled);
        if (otherUser && ::getuid() != 0)
            QSKIP("starting a process as another user needs root");

        const QStringList sleep{QStringLiteral("/bin/sleep"), QStringLiteral("30")};
        QProcess orphan;
        orphan.start(otherUser ? QStringLiteral("setpriv") : sleep.first(),
                     otherUser ? QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + sleep : sleep.mid(1));
        QVERIFY(orphan.waitForStarted());
        // The child may not have finished exec() yet when the start is reported.
        QTRY_COMPARE(Processes::commandLine(orphan.processId()).value_or(QString()), sleep.join(QLatin1Char(' ')));
        const auto startTime = Processes::startTime(orphan.processId());
        QVERIFY(startTime);
        QTemporaryDir folder;
        Rig rig(folder.path());
        rig.defaults.setInteger(QStringLiteral("whisperServerPID"), orphan.processId());
        if (!storedExecutable.isEmpty())
            rig.defaults.setString(QStringLiteral("whisperServerExecutable"), storedExecutable);
        if (startTimeOffset >= 0)
            rig.defaults.setInteger(QStringLiteral("whisperServerStartTime"), qint64(*startTime) + startTimeOffset);
        rig.service.terminateOrphanedWhisperServerIfNeeded();

        QCOMPARE(orphan.waitForFinished(signalled ? 3000 : 200), signalled);
        QCOMPARE(rig.defaults.contains(QStringLiteral("whisperServerPID")), storedExecutable.isEmpty()); // a whole record is forgotten once used
        orphan.kill();
        orphan.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TranscriptTest)
#include "TranscriptTest.moc"
