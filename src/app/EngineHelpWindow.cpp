#include "EngineHelpWindow.h"

#include "Bundle.h"

#include <QFile>
#include <QPointer>
#include <QTextBrowser>
#include <QTextDocument>

namespace {

QPointer<QTextBrowser> openWindow;

QString helpText()
{
    QFile readme(Bundle::resourcesPath() + QStringLiteral("/README.md"));
    QString text;
    if (readme.open(QIODevice::ReadOnly))
        text = EngineHelpWindow::section(QString::fromUtf8(readme.readAll()));
    if (text.isEmpty())
        text = QStringLiteral("## El motor de voz\n\nEjecuta `scripts/install-whisper --build` en la carpeta del código de Murmex: "
                              "compila whisper.cpp y descarga los modelos. Después reinicia Murmex.\n");
    return text;
}

} // namespace

QString EngineHelpWindow::section(const QString &markdown)
{
    const QStringList lines = markdown.split(QLatin1Char('\n'));
    qsizetype start = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (start < 0 && lines[i].trimmed().startsWith(sectionHeading, Qt::CaseInsensitive))
            start = i;
        else if (start >= 0 && lines[i].startsWith(QLatin1String("## ")))
            return lines.mid(start, i - start).join(QLatin1Char('\n'));
    }
    return start < 0 ? QString() : lines.mid(start).join(QLatin1Char('\n'));
}

void EngineHelpWindow::present()
{
    if (!openWindow) {
        openWindow = new QTextBrowser;
        openWindow->setAttribute(Qt::WA_DeleteOnClose);
        openWindow->setWindowTitle(QStringLiteral("Cómo instalar el motor de voz"));
        openWindow->setOpenExternalLinks(true);
        openWindow->document()->setDocumentMargin(18);
        openWindow->setMarkdown(helpText());
        openWindow->resize(720, 560);
    }
    openWindow->show();
    openWindow->raise();
    openWindow->activateWindow();
}
