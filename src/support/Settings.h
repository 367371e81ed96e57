#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <optional>

// Typed access to the user's settings ($XDG_CONFIG_HOME/Tarvo/Murmex.conf). A value of the wrong
// type reads as absent, so a damaged file falls back to defaults instead of to garbage.
class Settings {
public:
    Settings(); // the user's settings file
    explicit Settings(const QString &filePath); // a settings file of its own (tests)

    bool contains(const QString &key) const;
    std::optional<qint64> integer(const QString &key) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<bool> boolean(const QString &key) const;

    void setInteger(const QString &key, qint64 value);
    void setString(const QString &key, const QString &value);
    void setBoolean(const QString &key, bool value);
    void remove(const QString &key);

    // Writes pending changes and reports whether the file could be written.
    bool sync();
    QString fileName() const;

private:
    std::optional<QVariant> value(const QString &key) const;
    mutable QSettings settings;
};
