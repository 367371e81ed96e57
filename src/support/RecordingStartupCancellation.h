#pragma once

#include "CancellationToken.h"

// The token of one recording start-up or restart: the user overtakes a start-up by cancelling it.
using RecordingStartupCancellation = CancellationToken;
using RecordingStartupToken = std::shared_ptr<RecordingStartupCancellation>;
