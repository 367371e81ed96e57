#include "RuntimeStateFile.h"

#include "AppStorage.h"
#include "support/Log.h"
#include "support/PrivateFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>

std::optional<RuntimeStateFile::Contents> RuntimeStateFile::parse(const QByteArray &bytes)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const QJsonValue pid = document.object().value(QStringLiteral("pid"));
    const QJsonValue state = document.object().value(QStringLiteral("state"));
    if (!document.isObject() || !pid.isDouble() || !state.isString())
        return std::nullopt;
    const double number = pid.toDouble();
    if (number < 1 || number > 4194304 || number != double(qint64(number))) // Linux's largest pid
        return std::nullopt;
    // Only a name inside Recordings is taken from the file, never a path that leads elsewhere.
    QString folder = document.object().value(QStringLiteral("folder")).toString();
    if (folder.contains(QLatin1Char('/')) || folder.startsWith(QLatin1Char('.')) || folder.contains(QChar(0)))
        folder.clear();
    for (DictationState known : {DictationState::idle, DictationState::starting, DictationState::recording, DictationState::transcribing})
        if (rawValue(known) == state.toString())
            return Contents{qint64(number), known, folder};
    return std::nullopt;
}

std::optional<RuntimeStateFile::Contents> RuntimeStateFile::reportUncleanEndOfEarlierRun()
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto contents = parse(file.read(4096));
    if (!contents) {
        Log::write(QStringLiteral("[MurmexRuntime] Una ejecución anterior dejó un estado ilegible."));
        return std::nullopt;
    }
    // Only one Murmex runs per session, so a file of another pid is one whose Murmex has ended.
    if (contents->pid == QCoreApplication::applicationPid())
        return std::nullopt;
    Log::write(QStringLiteral("[MurmexRuntime] La ejecución anterior (pid %1) no se cerró en orden; estaba en «%2».")
                   .arg(contents->pid)
                   .arg(rawValue(contents->state)));
    return contents;
}

QString RuntimeStateFile::path()
{
    return AppStorage::supportRootURL() + QStringLiteral("/runtime-state.json");
}

void RuntimeStateFile::persist(DictationState state, const QString &folder)
{
    const auto fail = [](const QString &reason) {
        Log::write(QStringLiteral("[MurmexRuntime] No se pudo guardar el estado: %1").arg(reason));
    };
    const QString root = AppStorage::supportRootURL();
    if (!QDir().mkpath(root))
        return fail(QStringLiteral("no se pudo crear la carpeta %1").arg(root));

    QJsonObject object{{QStringLiteral("pid"), QCoreApplication::applicationPid()}, {QStringLiteral("state"), rawValue(state)}};
    if (!folder.isEmpty())
        object.insert(QStringLiteral("folder"), folder);
    PrivateFiles::removeLink(path()); // a replacement is written, never a file the link leads to
    QSaveFile file(root + QStringLiteral("/runtime-state.json"));
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
    if (!file.commit())
        return fail(file.errorString());
}

void RuntimeStateFile::remove()
{
    // Only this process's own file: a Murmex that took over from this one (its installed copy) may
    // already have written its own.
    QFile file(path());
    if (file.open(QIODevice::ReadOnly)) {
        const auto contents = parse(file.read(4096));
        if (contents && contents->pid != QCoreApplication::applicationPid())
            return;
    }
    QFile::remove(path()); // an error is ignored: there is nothing left to do at exit
}
