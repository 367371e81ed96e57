#pragma once

#include "platform/Alerts.h"
#include "platform/ApplicationShell.h"
#include "platform/FrontmostApplication.h"
#include "platform/MicrophoneAuthorization.h"
#include "platform/Platform.h"

#include <QList>

#include <optional>

struct ShownAlert {
    QString message;
    QString informativeText;
    QStringList buttons;
};

class FakeAlerts final : public Alerts {
public:
    int showWarning(const QString &message, const QString &informativeText, const QStringList &buttons) override
    {
        shown.append({message, informativeText, buttons});
        return answer;
    }
    int showInformational(const QString &message, const QString &informativeText, const QStringList &buttons) override
    {
        return showWarning(message, informativeText, buttons);
    }
    QList<ShownAlert> shown;
    int answer = 0;
};

class FakeShell final : public ApplicationShell {
public:
    void beep() override { ++beeps; }
    bool openUrl(const QUrl &url) override
    {
        openedUrls.append(url);
        return true;
    }
    bool openMicrophoneSettings() override
    {
        ++microphoneSettingsOpened;
        return true;
    }
    void revealInFileBrowser(const QString &path) override { revealed.append(path); }
    int beeps = 0;
    QStringList revealed;
    int microphoneSettingsOpened = 0;
    QList<QUrl> openedUrls;
};

class FakeFrontmostApplication final : public FrontmostApplication {
public:
    std::optional<qint64> frontmostProcessId() override
    {
        ++frontmostQueries;
        return pid;
    }
    FocusedWindow focusedWindow() override { return {window, pid}; }
    std::optional<QRect> frameGeometry(quint32 of) override { return of == window ? frame : std::nullopt; }
    bool windowsAreComposited() override { return composited; }
    std::optional<qint64> pid = 4242;
    quint32 window = 0x2a00007;
    std::optional<QRect> frame = QRect(100, 100, 480, 300);
    bool composited = false;
    int frontmostQueries = 0;
};

class FakeMicrophoneAuthorization final : public MicrophoneAuthorization {
public:
    Status status() override { return current; }
    void requestAccess(std::function<void(bool)> answered) override { answered(grant); }
    Status current = Status::authorized;
    bool grant = true;
};

// All platform fakes together, ready to hand out as a Platform.
struct FakePlatform {
    FakeAlerts alerts;
    FakeShell shell;
    FakeFrontmostApplication frontmost;
    FakeMicrophoneAuthorization microphone;
    Platform platform{alerts, shell, frontmost, microphone};
};
