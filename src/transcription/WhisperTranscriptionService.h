#pragma once

#include "TranscriptionService.h"
#include "dictionary/TranscriptionLanguage.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

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
// reached with curl, else the openai-whisper program, else whisper-cli; then the transcripts are
// cleaned, joined, passed through the personal dictionary and pasted. A recording is deleted only
// once its text was delivered (or there was none); every failure keeps it and says where it is.
class WhisperTranscriptionService final : public QObject, public TranscriptionService {
    Q_OBJECT
public:
    enum class TranscriptionBackend { whisperCPP, pythonWhisper };
    using Substitution = std::function<QString(const QString &text, TranscriptionLanguage language)>;
    using FolderRemoval = std::function<void(const QString &folder)>;

    struct Services {
        Settings &defaults;
        Alerts &alerts;
        ApplicationShell &shell;
        TextInsertion &insertion;
        Substitution applyPersonalDictionary;
        FolderRemoval removeRecordingFolder; // deletes only below the recordings root
    };

    WhisperTranscriptionService(Services services, WhisperLocations locations, QObject *parent = nullptr);
    ~WhisperTranscriptionService() override;

    // TranscriptionService.
    void setHost(TranscriptionHost *host) override { this->host = host; }
    void transcribe(const QStringList &segments, const QString &folder) override;
    QString transcriptionFolder() const override { return transcriptionFolder_; }
    void terminateProcesses() override;
    void startServices() override;

    void startWhisperCPPServer();
    void terminateOrphanedWhisperServerIfNeeded();
    static int whisperServerPort(qint64 processId); // 20000 + pid mod 30000

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

private:
    void transcribeWithWhisperCPPServer(const QStringList &segments, const QString &folder);
    void onServerJobFinished(bool succeeded, const QStringList &segments, const QStringList &transcripts, const QString &folder);
    void endWithoutText(const QString &folder);
    void deliver(const QString &text, const QString &folder);
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
    const int port;
};
