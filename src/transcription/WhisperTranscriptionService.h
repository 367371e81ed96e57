#pragma once

#include "OutputTail.h"
#include "TranscriptionService.h"
#include "dictionary/TranscriptionLanguage.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class Alerts;
class ApplicationShell;
class QProcess;
class Settings;
class TextInsertion;

// Where the speech engines and their models are found, and the programs the jobs run.
struct WhisperLocations {
    QStringList executableFolders; // searched first, in order (the bundle's libexec/whisper)
    bool searchPath = true;        // then PATH
    QStringList modelFolders;      // the bundle's share/murmex/Whisper, then the support root's Models
    QString pythonWhisperExecutable = QStringLiteral("/usr/local/bin/whisper");
    QString curlExecutable = QStringLiteral("/usr/bin/curl");
};

// Turns the segments of a finished recording into the user's text: a resident whisper.cpp server
// reached with curl (never through a proxy, and only once the listener on its port is seen to be
// the server's own), else the openai-whisper program, else whisper-cli; then the transcripts are
// cleaned, joined, passed through the personal dictionary and pasted as one line of plain text
// (finishedText). A recording is deleted only
// once its text was delivered (or there was none); every failure keeps it and says where it is.
// A server that ends or fails is logged with the end of its output and started again after a
// growing pause; jobs use the command-line engines meanwhile. From terminateProcesses() on (the
// application is quitting) nothing is reported, shown or started any more, and a recording being
// transcribed stays on disk. A kept recording transcribed again goes the same way, but its text
// is put on the clipboard instead of being pasted (WhisperKeptRecordings.cpp). The engine's status
// is followed as the server starts, binds its port and ends (WhisperEngineStatus.cpp).
class WhisperTranscriptionService final : public QObject, public TranscriptionService {
    Q_OBJECT
public:
    enum class TranscriptionBackend { whisperCPP, pythonWhisper };
    using Substitution = std::function<QString(const QString &text, TranscriptionLanguage language)>;
    using FolderRemoval = std::function<void(const QString &folder)>;
    using RestartDelay = std::function<std::chrono::milliseconds(int attempt)>;
    using ClipboardCopy = std::function<void(const QString &text)>;

    struct Services {
        Settings &defaults;
        Alerts &alerts;
        ApplicationShell &shell;
        TextInsertion &insertion;
        Substitution applyPersonalDictionary;
        FolderRemoval removeRecordingFolder; // deletes only below the recordings root
        ClipboardCopy copyToClipboard = {};  // where the text of a kept recording goes
    };

    WhisperTranscriptionService(Services services, WhisperLocations locations, QObject *parent = nullptr);
    ~WhisperTranscriptionService() override;

    // TranscriptionService.
    void setHost(TranscriptionHost *host) override { this->host = shutDown ? nullptr : host; }
    void transcribe(const QStringList &segments, const QString &folder) override;
    void transcribeKeptRecording(const QString &folder) override;
    EngineStatus engineStatus() const override;
    QString transcriptionFolder() const override { return transcriptionFolder_; }
    void terminateProcesses() override; // also ends the service for good
    void startServices() override;
    bool isShutDown() const { return shutDown; }

    void startWhisperCPPServer();
    // Ends the server an earlier run left behind: only a process of this user whose program and
    // start time are the recorded ones, never another that was given its id since.
    void terminateOrphanedWhisperServerIfNeeded();
    // The loopback port of the server: 20000 + pid mod 30000 at first; when another program is
    // found listening there, the next candidate of the sequence, 7919 further on (mod 30000).
    static int whisperServerPort(qint64 processId, int candidate = 0);
    int serverPort() const { return port; }
    // The most a transcript file may hold; a larger answer is not a transcript.
    static constexpr qint64 maxTranscriptBytes = 1024 * 1024;
    // The pause before the server is started again, after `attempt` (from 0) starts in a row that
    // ended badly: 1 s, 5 s, 30 s, then every 5 minutes. An answered request starts the row again.
    static std::chrono::milliseconds serverRestartDelay(int attempt);
    void setServerRestartDelay(RestartDelay delay) { restartDelay = std::move(delay); } // for tests

    // The programs and models found now, none when absent.
    std::optional<QString> whisperCPPExecutable() const;
    std::optional<QString> whisperCLIExecutable() const;
    std::optional<QString> whisperCPPModel() const;
    std::optional<QString> whisperCPPVADModel() const;

    bool isServerRunning() const;
    qint64 serverProcessId() const;

    // Finishing, also reachable by tests.
    void finishTranscription(int exitStatus, TranscriptionBackend backend, const QStringList &transcripts, const QString &logFile,
                             const QString &folder);
    void finishSuccessfulTranscription(const QStringList &transcripts, const QString &folder);
    void showPreservedRecordingAlert(const QString &folder, const QString &title, const QString &message);
    QString finalText(const QStringList &transcripts) const;

signals:
    void serverJobFinished(bool succeeded); // for observers (tests, benchmarks)
    void serverEnded();                     // on its own; its restart is scheduled by then

private:
    // Where a job's text goes: pasted for a dictation, onto the clipboard for a kept recording.
    enum class JobKind { dictation, keptRecording };

    void startJob(const QStringList &segments, const QString &folder, JobKind kind);
    void transcribeWithWhisperCPPServer(const QStringList &segments, const QString &folder);
    void transcribeWithCommandLine(const QStringList &segments, const QString &folder);
    void onServerJobFinished(bool succeeded, const QString &portTaken, int jobPort, qint64 serverPid, const QStringList &segments,
                             const QStringList &transcripts, const QString &folder);
    void moveToNextPort();
    void onServerEnded(QProcess *server, int exitCode, bool crashed);
    void retireServer();
    void scheduleServerRestart();
    void forgetServerProcessId();
    void showUnusableModelAlert();
    void endWithoutText(const QString &folder);
    void deliver(const QString &text, const QString &folder);
    void copyKeptRecording(const QString &text, const QString &folder);
    void keepRecordingWithoutSpeech(const QString &folder);
    void startReadinessProbe();
    void onReadinessProbe();
    void markServerListening();
    void forgetServerReadiness();
    void updateEngineStatus();
    void endJob();
    std::optional<QString> findExecutable(const QString &name) const;
    std::optional<QString> findModel(const QString &fileName) const;
    TranscriptionLanguage language() const;

    Services services;
    const WhisperLocations locations;
    TranscriptionHost *host = nullptr;
    QProcess *whisperServerProcess = nullptr;
    QProcess *transcriptionProcess = nullptr;
    QString transcriptionFolder_;
    int port;              // the server's, chosen before it starts
    int portCandidate = 0; // its place in the sequence
    QString serverModel;       // the model the server was started with
    OutputTail serverOutput;   // the end of its standard error
    bool serverHasAnswered = false;
    QTimer serverRestartTimer;
    int serverRestartAttempt = 0;
    RestartDelay restartDelay = &WhisperTranscriptionService::serverRestartDelay;
    bool modelAlertShown = false; // once per session, not at every restart
    JobKind jobKind = JobKind::dictation; // of the job in progress
    // The server binds its port once its model is loaded: until then it is "loading".
    QTimer serverReadinessTimer;
    QDeadlineTimer serverReadinessDeadline;
    bool serverListening = false;
    bool serverModelUnusable = false; // it refused the model; cleared once a server listens
    std::optional<EngineStatus> reportedEngineStatus;
    bool shutDown = false;
};
