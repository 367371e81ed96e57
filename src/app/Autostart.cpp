#include "Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr auto errorDomain = "MurmexAutostart";

Error failure(const QString &description)
{
    return Error{QString::fromLatin1(errorDomain), 1, description};
}

// A desktop entry's Exec value: the program in double quotes, with the characters the format
// reserves inside quotes escaped, and "%" doubled so that it is not read as a field code.
QString quotedProgram(const QString &program)
{
    QString escaped;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            escaped += QLatin1Char('\\');
        escaped += c;
        if (c == QLatin1Char('%'))
            escaped += QLatin1Char('%');
    }
    // The entry's own escapes apply on top: a backslash in a string value is written twice.
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// Line breaks would end the value and start a key of their own.
QString singleLine(const QString &value)
{
    QString line = value;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return line;
}

} // namespace

QString Autostart::entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/murmex.desktop");
}

bool Autostart::isEnabled()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromUtf8(file.read(64 * 1024));
    for (const QString &rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line == QLatin1String("Hidden=true") || line == QLatin1String("X-GNOME-Autostart-enabled=false"))
            return false;
    }
    return true;
}

QString Autostart::entryText(const QString &executable, const QString &icon)
{
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=Murmex\n"
                                  "Comment=Dictado por voz en cualquier aplicación\n");
    text += QStringLiteral("Exec=") + singleLine(quotedProgram(executable)) + QLatin1Char('\n');
    if (!icon.isEmpty())
        text += QStringLiteral("Icon=") + singleLine(icon) + QLatin1Char('\n');
    text += QStringLiteral("Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n");
    return text;
}

Expected<void> Autostart::enable(const QString &executable, const QString &icon)
{
    const QString path = entryPath();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return std::unexpected(failure(QStringLiteral("No se pudo crear la carpeta %1.").arg(folder)));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(entryText(executable, icon).toUtf8()) < 0 || !file.commit())
        return std::unexpected(failure(QStringLiteral("No se pudo escribir %1: %2").arg(path, file.errorString())));
    return {};
}

Expected<void> Autostart::disable()
{
    QFile file(entryPath());
    if (file.exists() && !file.remove())
        return std::unexpected(failure(QStringLiteral("No se pudo borrar %1: %2").arg(file.fileName(), file.errorString())));
    return {};
}
