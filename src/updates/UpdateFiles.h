#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// The files the updater and the swap job share in the updates folder ($XDG_DATA_HOME/Murmex/Updates):
//   pending.json            {"version", "newAppPath"}: a verified, unpacked update waiting
//   attempt-guard.json      {"version", "timestamp" (seconds since 1970, double)}: last attempt
//   stage-<version>/        one download: update.zip, then the unpacked bundle "Murmex/"
//   apply-update-<uuid>.sh  the swap script
//   apply-update.job        the job's definition while it runs (removed by the script at its end)
//   health-<version>.request / .ack, pending.json.health-hold: the new version's trial
namespace UpdateFiles {

struct PendingNote {
    QString version;
    QString newAppPath;
};
struct AttemptGuard {
    QString version;
    QDateTime timestamp;
};

inline constexpr int attemptGuardSeconds = 900;
inline const QString jobLabel = QStringLiteral("com.tarvo.murmex.update");

QString pendingNotePath(const QString &updatesDirectory);
QString attemptGuardPath(const QString &updatesDirectory);
QString stagingFolder(const QString &updatesDirectory, const QString &version);
QString jobDefinitionPath(const QString &updatesDirectory);
QString healthRequestPath(const QString &updatesDirectory, const QString &version);
QString healthAckPath(const QString &updatesDirectory, const QString &version);

std::optional<PendingNote> readPendingNote(const QString &updatesDirectory);
bool writePendingNote(const QString &updatesDirectory, const PendingNote &note); // atomic
std::optional<AttemptGuard> readAttemptGuard(const QString &updatesDirectory);
bool writeAttemptGuard(const QString &updatesDirectory, const QString &version, const QDateTime &now); // atomic

// The cleaned path lies strictly below the cleaned updates folder.
bool isInsideUpdatesDirectory(const QString &path, const QString &updatesDirectory);

} // namespace UpdateFiles
