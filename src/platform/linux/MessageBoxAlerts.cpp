#include "MessageBoxAlerts.h"

#include "support/Log.h"

#include <QMessageBox>
#include <QPushButton>

namespace {

int showMessageBox(QMessageBox::Icon icon, const QString &message, const QString &informativeText, const QStringList &buttons)
{
    Log::write(QStringLiteral("[MurmexAlert] %1 — %2").arg(message, QString(informativeText).replace(QLatin1Char('\n'), QLatin1Char(' '))));
    QMessageBox box;
    box.setIcon(icon);
    box.setWindowTitle(QStringLiteral("Murmex"));
    box.setText(message);
    box.setInformativeText(informativeText);
    QList<QAbstractButton *> created;
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        // The first button is the default one; a last "Cancelar" is the escape button.
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        QPushButton *button = box.addButton(buttons.at(i), role);
        if (i == 0)
            box.setDefaultButton(button);
        created.append(button);
    }
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    const qsizetype chosen = created.indexOf(box.clickedButton());
    return chosen < 0 ? int(buttons.size()) - 1 : int(chosen);
}

} // namespace

int MessageBoxAlerts::showWarning(const QString &message, const QString &informativeText, const QStringList &buttons)
{
    return showMessageBox(QMessageBox::Warning, message, informativeText, buttons);
}

int MessageBoxAlerts::showInformational(const QString &message, const QString &informativeText, const QStringList &buttons)
{
    return showMessageBox(QMessageBox::Information, message, informativeText, buttons);
}
