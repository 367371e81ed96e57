#pragma once

#include "TextInsertion.h"

// Stand-in until pasting into other applications is built: the text goes on the clipboard, ready
// for the user to paste by hand, and the log says so.
class ClipboardTextInsertion final : public TextInsertion {
public:
    void pasteAtCapturedCursor(const QString &text, std::optional<qint64> targetProcessId, std::function<void()> completion) override;
};
