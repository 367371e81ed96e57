#pragma once

#include <QString>
#include <QStringList>

// Modal alerts in the warning style. The application is brought to the front first; the call
// returns the index of the chosen button (0 = the first, the default one).
class Alerts {
public:
    virtual ~Alerts() = default;
    virtual int showWarning(const QString &message, const QString &informativeText, const QStringList &buttons) = 0;
    // The informational style (used for "Atajo no disponible").
    virtual int showInformational(const QString &message, const QString &informativeText, const QStringList &buttons) = 0;
};
