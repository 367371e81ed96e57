#pragma once

#include <QString>

// Where Murmex keeps its per-user data: the support root $XDG_DATA_HOME/Murmex, and below it
//   runtime-state.json                   the running process and its dictation state
//   Recordings/<yyyy-MM-dd_HH-mm-ss>_<8>/ one folder per dictation, segment-001.wav, …
//   Dictionaries/<language>.json         the personal dictionaries
//   Updates/                             downloaded and staged updates
// Every path is derived from supportRootURL(); the root is created by whoever writes first.
class AppStorage {
public:
    AppStorage() = delete;

    // Safe on any thread. The first call in a process moves the data of the earlier "Olvena"
    // folder into place.
    static QString supportRootURL();
    static QString recordingsRootURL();

    // Deletes `folder` and its contents only when it lies strictly below `root`. Errors are ignored.
    static void removeRecordingFolderIfOwned(const QString &folder, const QString &root);

    // Called by supportRootURL(): at most once per process.
    static void migrateLegacySupportDirectoryIfNeeded(const QString &applicationSupport);
    static void resetMigrationForTesting();

private:
    static QString applicationSupportDirectory();
};
