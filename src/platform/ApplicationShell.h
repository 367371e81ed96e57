#pragma once

#include <QString>
#include <QUrl>

// What the desktop does for the application as a whole.
class ApplicationShell {
public:
    virtual ~ApplicationShell() = default;
    virtual void beep() = 0;
    virtual bool openUrl(const QUrl &url) = 0;
    // The desktop's privacy settings for the microphone; false when the desktop has none to open.
    virtual bool openMicrophoneSettings() = 0;
    // Shows the folder in the file browser, selected in its parent when the browser can do that.
    virtual void revealInFileBrowser(const QString &path) = 0;
};
