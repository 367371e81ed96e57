#pragma once

#include "platform/ApplicationShell.h"

class DesktopShell final : public ApplicationShell {
public:
    void beep() override;
    bool openUrl(const QUrl &url) override;
    bool openMicrophoneSettings() override;
    void revealInFileBrowser(const QString &path) override;
};
