#include "ClipboardTextInsertion.h"

#include "support/Log.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>

void ClipboardTextInsertion::pasteAtCapturedCursor(const QString &text, std::optional<qint64>, std::function<void()> completion)
{
    if (auto *clipboard = QGuiApplication::clipboard())
        clipboard->setText(text);
    Log::write(QStringLiteral("[MurmexInsertion] Texto dictado copiado al portapapeles (%1 caracteres).").arg(text.size()));
    QTimer::singleShot(0, qApp, std::move(completion));
}
