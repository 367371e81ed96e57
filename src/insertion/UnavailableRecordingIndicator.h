#pragma once

#include "RecordingIndicator.h"

// Stand-in until the caret indicator is built: only the tray icon shows that Murmex records.
class UnavailableRecordingIndicator final : public RecordingIndicator {
public:
    void prepare(std::optional<qint64>) override {}
    void show(std::optional<qint64>) override {}
    void hide() override {}
};
