#pragma once

#include "platform/Alerts.h"

// Alerts as application-modal QMessageBox dialogs, raised and activated before they run.
class MessageBoxAlerts final : public Alerts {
public:
    int showWarning(const QString &message, const QString &informativeText, const QStringList &buttons) override;
    int showInformational(const QString &message, const QString &informativeText, const QStringList &buttons) override;
};
