#include "RuntimeStateFile.h"

#include "AppStorage.h"
#include "support/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

QString RuntimeStateFile::path()
{
    return AppStorage::supportRootURL() + QStringLiteral("/runtime-state.json");
}

void RuntimeStateFile::persist(DictationState state)
{
    const auto fail = [](const QString &reason) {
        Log::write(QStringLiteral("[MurmexRuntime] No se pudo guardar el estado: %1").arg(reason));
    };
    const QString root = AppStorage::supportRootURL();
    if (!QDir().mkpath(root))
        return fail(QStringLiteral("no se pudo crear la carpeta %1").arg(root));

    const QJsonObject object{{QStringLiteral("pid"), QCoreApplication::applicationPid()},
                             {QStringLiteral("state"), rawValue(state)}};
    QSaveFile file(root + QStringLiteral("/runtime-state.json"));
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
    if (!file.commit())
        return fail(file.errorString());
}

void RuntimeStateFile::remove()
{
    QFile::remove(path()); // an error is ignored: there is nothing left to do at exit
}
