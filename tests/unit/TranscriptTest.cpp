// What the recogniser wrote that is not speech, how segments are joined, and the clean-up of a
// server left behind by an earlier run.

#include "FakePlatform.h"
#include "insertion/TextInsertion.h"
#include "support/Processes.h"
#include "support/Settings.h"
#include "transcription/WhisperTranscriptionService.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

class NoInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &, const InsertionTarget &, std::function<void()>) override {}
};

} // namespace

class TranscriptTest : public QObject {
    Q_OBJECT

private slots:
    // Each segment's transcript file as the engine wrote it (a null entry: no file), and the text
    // that comes out after the speech filter and the joining (the dictionary across segments is
    // the transcription test's).
    void finalText_data()
    {
        QTest::addColumn<QStringList>("segments");
        QTest::addColumn<QString>("text"); // empty: nothing spoken

        const auto row = [](const char *name, const QStringList &segments, const QString &text) { QTest::newRow(name) << segments << text; };
        row("music in brackets", {"[Música]"}, "");
        row("annotations around speech", {"(risas) hola (aplausos)"}, "hola");
        row("mixed bracket kinds", {"[silencio) hola"}, "hola");
        row("noise words only", {"Música, aplausos... ruido"}, "");
        row("noise word in speech is kept", {"música nueva"}, "música nueva");
        row("note symbols and emoji notes", {"♪🎵 la la 🎶"}, "la la");
        row("punctuation only", {"..."}, "");
        row("white space and line breaks", {"  hola\n\n  que   tal \t"}, "hola que tal");
        row("digits are speech", {"42"}, "42");
        row("segments joined, a missing transcript skipped", {" uno\n", QString(), "[Música]\n", " dos.\n"}, "uno dos.");
    }

    void finalText()
    {
        QFETCH(QStringList, segments);
        QFETCH(QString, text);
        QTemporaryDir folder;
        QStringList transcripts;
        for (int i = 0; i < segments.size(); ++i) {
            transcripts.append(folder.filePath(QStringLiteral("segment-%1-server.txt").arg(i + 1)));
            if (segments.at(i).isNull())
                continue;
            QFile file(transcripts.last());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(segments.at(i).toUtf8());
        }
        FakePlatform fake;
        NoInsertion insertion;
        Settings defaults(folder.filePath(QStringLiteral("Murmex.conf")));
        const WhisperTranscriptionService service({defaults, fake.alerts, fake.shell, insertion, {}, {}}, {});
        QCOMPARE(service.finalText(transcripts), text);
    }

    void orphanedServer_data()
    {
        QTest::addColumn<QString>("storedExecutable"); // "" = not stored
        QTest::addColumn<int>("storedPid");            // -1 = the running child's
        QTest::addColumn<bool>("signalled");
        QTest::addColumn<bool>("keysRemoved");

        QTest::newRow("path plus a space and arguments") << "/bin/sleep" << -1 << true << true;
        QTest::newRow("path with other text attached") << "/bin/sle" << -1 << false << true;
        QTest::newRow("another program") << "/usr/bin/whisper-server" << -1 << false << true;
        QTest::newRow("pid 0 is never probed") << "/bin/sleep" << 0 << false << true;
        QTest::newRow("pid 1 is never probed") << "/bin/sleep" << 1 << false << true;
        QTest::newRow("no executable stored") << "" << -1 << false << false;
    }

    void orphanedServer()
    {
        QFETCH(QString, storedExecutable);
        QFETCH(int, storedPid);
        QFETCH(bool, signalled);
        QFETCH(bool, keysRemoved);

        QProcess orphan;
        orphan.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(orphan.waitForStarted());
        // The child may not have finished exec() yet when the start is reported.
        QTRY_COMPARE(Processes::commandLine(orphan.processId()).value_or(QString()), QStringLiteral("/bin/sleep 30"));
        QTemporaryDir folder;
        Settings defaults(folder.filePath(QStringLiteral("Murmex.conf")));
        defaults.setInteger(QStringLiteral("whisperServerPID"), storedPid < 0 ? orphan.processId() : storedPid);
        if (!storedExecutable.isEmpty())
            defaults.setString(QStringLiteral("whisperServerExecutable"), storedExecutable);

        FakePlatform fake;
        NoInsertion insertion;
        WhisperTranscriptionService service({defaults, fake.alerts, fake.shell, insertion, {}, {}}, {});
        service.terminateOrphanedWhisperServerIfNeeded();

        QCOMPARE(orphan.waitForFinished(signalled ? 3000 : 200), signalled);
        QCOMPARE(!defaults.contains(QStringLiteral("whisperServerPID")), keysRemoved);
        orphan.kill();
        orphan.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TranscriptTest)
#include "TranscriptTest.moc"
