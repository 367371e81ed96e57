#pragma once

#include "support/Log.h"

// Sends Murmex's log lines to syslog(3) with the ident "Murmex" (journald keeps them), and also to
// standard error when that is a terminal (a person started Murmex by hand) or when no system log
// listens.
namespace SystemLogSink {
// Returns whether the lines also go to standard error.
bool install();
}
