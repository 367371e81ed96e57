#include "Settings.h"

#include "Log.h"

// The native format on Linux is the INI format in $XDG_CONFIG_HOME/Tarvo/Murmex.conf.
Settings::Settings() : settings(QStringLiteral("Tarvo"), QStringLiteral("Murmex"))
{
    settings.allKeys(); // reads the file now, so that a damaged one is reported at launch
    if (settings.status() != QSettings::NoError)
        Log::write(QStringLiteral("[MurmexSettings] No se pudieron leer los ajustes de %1; se usan los valores por defecto.").arg(settings.fileName()));
}

Settings::Settings(const QString &filePath) : settings(filePath, QSettings::IniFormat)
{
    settings.allKeys();
    if (settings.status() != QSettings::NoError)
        Log::write(QStringLiteral("[MurmexSettings] No se pudieron leer los ajustes de %1; se usan los valores por defecto.").arg(filePath));
}

std::optional<QVariant> Settings::value(const QString &key) const
{
    if (!settings.contains(key))
        return std::nullopt;
    return settings.value(key);
}

bool Settings::contains(const QString &key) const
{
    return settings.contains(key);
}

std::optional<qint64> Settings::integer(const QString &key) const
{
    const auto stored = value(key);
    if (!stored)
        return std::nullopt;
    // The INI format stores numbers as text: accept exactly an integer, nothing more.
    bool ok = false;
    const qint64 number = stored->toString().trimmed().toLongLong(&ok);
    if (!ok) {
        Log::write(QStringLiteral("[MurmexSettings] Valor no válido para %1: se usa el valor por defecto.").arg(key));
        return std::nullopt;
    }
    return number;
}

std::optional<QString> Settings::string(const QString &key) const
{
    const auto stored = value(key);
    if (!stored)
        return std::nullopt;
    if (!stored->canConvert<QString>() || stored->typeId() == QMetaType::QStringList) {
        Log::write(QStringLiteral("[MurmexSettings] Valor no válido para %1: se usa el valor por defecto.").arg(key));
        return std::nullopt;
    }
    return stored->toString();
}

std::optional<bool> Settings::boolean(const QString &key) const
{
    const auto stored = value(key);
    if (!stored)
        return std::nullopt;
    const QString text = stored->toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    Log::write(QStringLiteral("[MurmexSettings] Valor no válido para %1: se usa el valor por defecto.").arg(key));
    return std::nullopt;
}

void Settings::setInteger(const QString &key, qint64 value)
{
    settings.setValue(key, value);
}

void Settings::setString(const QString &key, const QString &value)
{
    settings.setValue(key, value);
}

void Settings::setBoolean(const QString &key, bool value)
{
    settings.setValue(key, value);
}

void Settings::remove(const QString &key)
{
    settings.remove(key);
}

bool Settings::sync()
{
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        Log::write(QStringLiteral("[MurmexSettings] No se pudieron guardar los ajustes en %1.").arg(settings.fileName()));
        return false;
    }
    return true;
}

QString Settings::fileName() const
{
    return settings.fileName();
}
