#pragma once

#include "TranscriptionService.h"

class Alerts;

// Stand-in until the transcription engines are built: every recording is kept on disk and the user
// is told that no engine is available.
class UnavailableTranscriptionService final : public TranscriptionService {
public:
    explicit UnavailableTranscriptionService(Alerts &alerts) : alerts(alerts) {}

    void setHost(TranscriptionHost *host) override { this->host = host; }

    void transcribe(const QStringList &segments, const QString &folder) override;
    void startServices() override {}
    QString transcriptionFolder() const override { return {}; }
    void terminateProcesses() override {}

private:
    TranscriptionHost *host = nullptr;
    Alerts &alerts;
};
