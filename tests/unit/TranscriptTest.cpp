// What the recogniser wrote that is not speech, how segments are joined, the server's port, and
// the clean-up of a server left behind by an earlier run.

#include "FakePlatform.h"
#include "insertion/TextInsertion.h"
#include "support/Processes.h"
#include "support/Settings.h"
#include "transcription/SpeechFilter.h"
#include "transcription/WhisperTranscriptionService.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

class NoInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &, std::optional<qint64>, std::function<void()>) override {}
};

} // namespace

class TranscriptTest : public QObject {
    Q_OBJECT

private slots:
    void speechFilter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("speech"); // empty: nothing spoken

        QTest::newRow("music in brackets") << "[Música]" << "";
        QTest::newRow("annotations around speech") << "(risas) hola (aplausos)" << "hola";
        QTest::newRow("angle brackets with spaces") << "< blank_audio >" << "";
        QTest::newRow("Catalan, braces") << "{Sense àudio}" << "";
        QTest::newRow("mixed bracket kinds") << "[silencio) hola" << "hola";
        QTest::newRow("upper case annotation") << "[MUSIC] Good morning" << "Good morning";
        QTest::newRow("noise word only") << "Música." << "";
        QTest::newRow("several noise words") << "risas, aplausos... ruido" << "";
        QTest::newRow("noise word in speech is kept") << "música nueva" << "música nueva";
        QTest::newRow("note symbols") << "♪♪ la la ♪" << "la la";
        QTest::newRow("emoji notes") << "🎵🎶 hola 🎶" << "hola";
        QTest::newRow("punctuation only") << "..." << "";
        QTest::newRow("white space and line breaks") << "  hola\n\n  que   tal \t" << "hola que tal";
        QTest::newRow("digits are speech") << "42" << "42";
        QTest::newRow("unbracketed annotation word is speech when not alone") << "silencio por favor" << "silencio por favor";
    }

    void speechFilter()
    {
        QFETCH(QString, text);
        QFETCH(QString, speech);
        QCOMPARE(speechOnlyTranscript(text).value_or(QString()), speech);
    }

    void segmentsAreJoinedAfterFiltering()
    {
        QTemporaryDir folder;
        const QStringList contents{QStringLiteral(" hola\n  mundo \n"), QStringLiteral("[Música]\n"), QStringLiteral(" adiós.\n")};
        QStringList transcripts;
        for (int i = 0; i < contents.size(); ++i) {
            transcripts.append(folder.filePath(QStringLiteral("segment-%1-server.txt").arg(i + 1)));
            QFile file(transcripts.last());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(contents.at(i).toUtf8());
        }
        transcripts.append(folder.filePath(QStringLiteral("missing.txt"))); // unreadable: skipped
        FakePlatform fake;
        NoInsertion insertion;
        Settings defaults(folder.filePath(QStringLiteral("Murmex.conf")));
        const WhisperTranscriptionService service({defaults, fake.alerts, fake.shell, insertion,
                                                   [](const QString &text, TranscriptionLanguage) { return text.toUpper(); }, {}},
                                                  {});
        // The dictionary sees the joined text, so a phrase spanning two segments is one text.
        QCOMPARE(service.finalText(transcripts), QStringLiteral("HOLA MUNDO ADIÓS."));
    }

    void serverPort_data()
    {
        QTest::addColumn<qint64>("pid");
        QTest::addColumn<int>("port");
        QTest::newRow("12345") << qint64(12345) << 32345;
        QTest::newRow("30000") << qint64(30000) << 20000;
        QTest::newRow("59999") << qint64(59999) << 49999;
        QTest::newRow("4194304") << qint64(4194304) << 20000 + 4194304 % 30000;
    }

    void serverPort()
    {
        QFETCH(qint64, pid);
        QFETCH(int, port);
        QCOMPARE(WhisperTranscriptionService::whisperServerPort(pid), port);
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
