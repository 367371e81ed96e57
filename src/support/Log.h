#pragma once

#include <QString>

#include <functional>

// The system log lines of Murmex ("[MurmexStorage] …", "MURMEX_STARTUP …"). Where they go is set
// once by the program (the system log) or by a test (a list it can read); until then they go to
// standard error.
namespace Log {

using Sink = std::function<void(const QString &line)>;

void write(const QString &line);
void setSink(Sink sink); // thread-safe; an empty sink restores standard error

} // namespace Log
