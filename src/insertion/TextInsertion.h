#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

// Delivers dictated text to the application the user dictated into.
class TextInsertion {
public:
    virtual ~TextInsertion() = default;
    // `completion` runs on the main thread once the text has been handed over.
    virtual void pasteAtCapturedCursor(const QString &text, std::optional<qint64> targetProcessId, std::function<void()> completion) = 0;
};
