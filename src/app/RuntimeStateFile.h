#pragma once

#include "DictationState.h"

#include <QByteArray>
#include <QString>

#include <optional>

// "runtime-state.json" in the support root: {"pid": …, "state": …} of the running Murmex. It is
// rewritten on every state change and deleted at an orderly exit, so after the process has ended it
// remains only when Murmex did not end in order.
namespace RuntimeStateFile {

// What a file holds: both members present with the right types and a known state; else nothing.
struct Contents {
    qint64 pid = 0;
    DictationState state = DictationState::idle;
};
std::optional<Contents> parse(const QByteArray &bytes);

QString path();
// The file an earlier run left behind, read once before the first write: that run did not end in
// order. Logged, so that a crash shows in the log of the next run.
void reportUncleanEndOfEarlierRun();
// Writes atomically; a failure is logged and otherwise ignored.
void persist(DictationState state);
void remove();

} // namespace RuntimeStateFile
