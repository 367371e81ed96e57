#pragma once

#include "DictationState.h"

#include <QByteArray>
#include <QString>

#include <optional>

// "runtime-state.json" in the support root: {"pid": …, "state": …} of the running Murmex, and while
// a dictation is recorded or transcribed "folder", the name of its folder in Recordings. It is
// rewritten on every state change and deleted at an orderly exit, so after the process has ended it
// remains only when Murmex did not end in order.
namespace RuntimeStateFile {

// What a file holds: both members present with the right types and a known state; else nothing.
struct Contents {
    qint64 pid = 0;
    DictationState state = DictationState::idle;
    // A plain folder name (no separator, not hidden), else empty.
    QString folder;
};
std::optional<Contents> parse(const QByteArray &bytes);

QString path();
// The file an earlier run left behind, read once before the first write: that run did not end in
// order. Logged, so that a crash shows in the log of the next run, and returned.
std::optional<Contents> reportUncleanEndOfEarlierRun();
// Writes atomically; a failure is logged and otherwise ignored. `folder` is the dictation folder
// being recorded or transcribed, empty when none.
void persist(DictationState state, const QString &folder = {});
void remove(); // only when it is this process's own

} // namespace RuntimeStateFile
