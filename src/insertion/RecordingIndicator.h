#pragma once

#include <QtGlobal>

#include <optional>

// The small animated indicator beside the text caret of the application being dictated into.
class RecordingIndicator {
public:
    virtual ~RecordingIndicator() = default;
    virtual void prepare(std::optional<qint64> targetProcessId) = 0;
    virtual void show(std::optional<qint64> targetProcessId) = 0;
    virtual void hide() = 0;
};
