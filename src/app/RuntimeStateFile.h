#pragma once

#include "DictationState.h"

#include <QString>

// "runtime-state.json" in the support root: {"pid": …, "state": …} of the running Murmex. It is
// rewritten on every state change and deleted at an orderly exit, so after the process has ended it
// remains only when Murmex did not end in order.
namespace RuntimeStateFile {

QString path();
// Writes atomically; a failure is logged and otherwise ignored.
void persist(DictationState state);
void remove();

} // namespace RuntimeStateFile
