#include "AppSelfInstaller.h"

#include "BundleValidation.h"
#include "DesktopEntryTemplate.h"
#include "InstallPlaces.h"
#include "support/Log.h"
#include "support/Processes.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/xattr.h>

namespace {

// The attributes browsers and download tools put on what they save.
constexpr const char *downloadOriginAttributes[] = {"user.xdg.origin.url", "user.xdg.referrer.url"};
constexpr int copyTimeoutMs = 300'000;
constexpr int relaunchPolls = 50;
constexpr int relaunchPollIntervalMs = 100;
constexpr int quitDelayMs = 250;

Error murmexError(int code, const QString &description)
{
    return {AppSelfInstaller::errorDomain, code, description};
}

// A failed system call (`error` is its errno), with what was being done and the system's reason.
Error systemError(int error, const QString &what)
{
    return {QStringLiteral("POSIX"), error, QStringLiteral("%1: %2").arg(what, qt_error_string(error))};
}

// The "identifier" of the bundle.json in `bundleRoot`, empty when there is none.
QString bundleIdentifier(const QString &bundleRoot)
{
    QFile file(bundleRoot + QStringLiteral("/bundle.json"));
    if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.read(64 * 1024)).object().value(QStringLiteral("identifier")).toString();
}

// A real folder (not a link to one) holding a Murmex bundle.
bool isMurmexBundle(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && bundleIdentifier(path) == BundleValidation::identifier;
}

// The same folder, also when one of the two paths reaches it through a link.
bool isSameFolder(const QString &a, const QString &b)
{
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

// 0, or the errno of the failure.
int rename(const QString &from, const QString &to, unsigned flags)
{
    const int result = ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD, QFile::encodeName(to).constData(), flags);
    return result == 0 ? 0 : errno;
}

void removeTree(const QString &path)
{
    // Errors are only logged: what is left is a hidden folder beside the installed copy.
    if (QFileInfo::exists(path) && !QDir(path).removeRecursively())
        Log::write(QStringLiteral("[MurmexUpdater] No se pudo borrar %1.").arg(path));
}

// Puts the prepared copy in place: exchanged atomically with the bundle already there (which then
// lies under the copy's temporary name and is deleted), or moved where nothing is.
Expected<void> swapIn(const QString &copy, const QString &destination)
{
    const QString moveFailed = QStringLiteral("No se pudo mover la copia a %1").arg(destination);
    const QString replaceFailed = QStringLiteral("No se pudo reemplazar %1").arg(destination);
    if (!QFileInfo(destination).exists()) {
        // RENAME_NOREPLACE: something that appeared meanwhile is never overwritten.
        if (const int error = rename(copy, destination, RENAME_NOREPLACE))
            return std::unexpected(systemError(error, moveFailed));
        return {};
    }
    const int exchangeError = rename(copy, destination, RENAME_EXCHANGE);
    if (exchangeError == 0) {
        removeTree(copy);
        return {};
    }
    if (exchangeError != EINVAL)
        return std::unexpected(systemError(exchangeError, replaceFailed));
    // A file system without exchange: the old bundle steps aside under a hidden name first.
    const QString old = QFileInfo(copy).absolutePath() + QStringLiteral("/.murmex-replaced-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (const int error = rename(destination, old, RENAME_NOREPLACE))
        return std::unexpected(systemError(error, replaceFailed));
    if (const int error = rename(copy, destination, RENAME_NOREPLACE)) {
        (void)rename(old, destination, RENAME_NOREPLACE); // the old one back; nothing else to do if it fails
        return std::unexpected(systemError(error, moveFailed));
    }
    removeTree(old);
    return {};
}

// The ids of the processes that run `program` (a canonical path).
QSet<qint64> processesRunning(const QString &program)
{
    QSet<qint64> found;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const qint64 pid = name.toLongLong(&isNumber);
        if (isNumber && Processes::executable(pid) == program)
            found.insert(pid);
    }
    return found;
}

bool writeFileAtomically(const QString &path, const QByteArray &contents, QString *errorText)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.commit())
        return true;
    *errorText = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
}

} // namespace

AppSelfInstaller::AppSelfInstaller(Services services) : services(std::move(services)) {}

bool AppSelfInstaller::installAndRelaunchIfNeeded()
{
    if (qEnvironmentVariable("MURMEX_SKIP_SELF_INSTALL") == QStringLiteral("1"))
        return false;
    const QString current = services.bundleRoot.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(services.bundleRoot).absoluteFilePath());
    if (current.isEmpty())
        return false; // a program outside a bundle: nothing to install
    switch (bundleManager(current)) {
    case BundleManager::buildTree:
        Log::write(QStringLiteral("[MurmexUpdater] Murmex se ejecuta desde una compilación (%1): no se instala.").arg(current));
        return false;
    case BundleManager::packageManager:
        Log::write(QStringLiteral("[MurmexUpdater] Murmex lo instaló el gestor de paquetes en %1: no se instala de nuevo.").arg(current));
        return false;
    case BundleManager::self:
        break;
    }
    const InstallPlaces places = InstallPlaces::forCurrentUser();
    if (places.accepts(current) || isSameFolder(current, places.user) || isSameFolder(current, places.system))
        return false;

    Expected<void> installed = install(current, places.user);
    if (installed) {
        if (const Expected<void> entry = writeDesktopEntry(places.user, QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)); !entry)
            // The copy is in place and starts from its folder; only the menu lacks it.
            Log::write(QStringLiteral("[MurmexUpdater] No se pudo añadir Murmex al menú de aplicaciones: %1").arg(entry.error().description));
        installed = relaunch(places.user);
    }
    if (installed) {
        Log::write(QStringLiteral("[MurmexUpdater] Murmex se instaló en %1 y se abre desde allí.").arg(places.user));
        QTimer::singleShot(quitDelayMs, QCoreApplication::instance(), &QCoreApplication::quit);
        return true;
    }
    report(installed.error());
    // The copy may have taken the claim although it was not seen in time: then it is the one that
    // runs, and this one ends.
    if (singleInstanceReleased && services.claimSingleInstance && !services.claimSingleInstance()) {
        Log::write(QStringLiteral("[MurmexUpdater] La copia instalada ya está abierta: esta se cierra."));
        QTimer::singleShot(quitDelayMs, QCoreApplication::instance(), &QCoreApplication::quit);
        return true;
    }
    return false;
}

void AppSelfInstaller::report(const Error &error)
{
    Log::write(QStringLiteral("[MurmexUpdater] No se pudo instalar Murmex (%1 %2): %3").arg(error.domain).arg(error.code).arg(error.description));
    if (services.showAlert)
        services.showAlert(QStringLiteral("No se pudo instalar Murmex"),
                           error.description.isEmpty() ? QStringLiteral("La aplicación continuará desde su ubicación actual.") : error.description,
                           {QStringLiteral("Continuar")});
}

Expected<void> AppSelfInstaller::install(const QString &source, const QString &destination)
{
    const QString parent = QFileInfo(destination).absolutePath();
    if (!QDir().mkpath(parent)) {
        const int error = errno;
        return std::unexpected(systemError(error, QStringLiteral("No se pudo crear la carpeta %1").arg(parent)));
    }
    const QFileInfo existing(destination);
    if ((existing.exists() || existing.isSymLink()) && !isMurmexBundle(destination))
        return std::unexpected(murmexError(occupied, QStringLiteral("Ya existe otra aplicación llamada murmex en %1.").arg(parent)));

    const QString copy = parent + QStringLiteral("/.murmex-installing-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    const auto removeCopy = qScopeGuard([&] { removeTree(copy); });
    // cp -a: modes, times and links as they are.
    QProcess cp;
    cp.setProcessChannelMode(QProcess::MergedChannels);
    cp.start(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral("-T"), QStringLiteral("--"), source, copy});
    if (!cp.waitForFinished(copyTimeoutMs) || cp.exitStatus() != QProcess::NormalExit || cp.exitCode() != 0) {
        const QString reason = cp.error() == QProcess::UnknownError ? QString::fromLocal8Bit(cp.readAll()).trimmed() : cp.errorString();
        cp.kill();
        cp.waitForFinished(3000);
        return std::unexpected(Error{QStringLiteral("cp"), cp.exitCode(), QStringLiteral("No se pudo copiar Murmex a %1: %2").arg(parent, reason)});
    }
    if (!isMurmexBundle(copy) || !QFileInfo(copy + QStringLiteral("/bin/murmex")).isExecutable())
        return std::unexpected(murmexError(copyNotValid, QStringLiteral("La copia instalada no superó la validación.")));
    if (const Expected<void> cleared = removeDownloadOriginRecursively(copy); !cleared) {
        Log::write(QStringLiteral("[MurmexUpdater] %1").arg(cleared.error().description));
        return std::unexpected(murmexError(originNotCleared, QStringLiteral("No se pudo preparar la copia autorizada para abrirla desde %1.").arg(destination)));
    }
    return swapIn(copy, destination);
}

Expected<void> AppSelfInstaller::removeDownloadOriginRecursively(const QString &path)
{
    const auto clear = [](const QString &item) -> Expected<void> {
        const QByteArray name = QFile::encodeName(item);
        for (const char *attribute : downloadOriginAttributes)
            // Absent, or a file system without these attributes: nothing to remove.
            if (::lremovexattr(name.constData(), attribute) != 0) {
                if (const int error = errno; error != ENODATA && error != ENOTSUP)
                    return std::unexpected(systemError(error, QStringLiteral("No se pudo quitar %1 de %2").arg(QLatin1StringView(attribute), item)));
            }
        return {};
    };
    if (const Expected<void> root = clear(path); !root)
        return root;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo item = it.nextFileInfo();
        if (item.isSymLink())
            continue; // links carry no user attributes, and the one they lead to is not ours
        if (const Expected<void> cleared = clear(item.filePath()); !cleared)
            return cleared;
    }
    return {};
}

QString AppSelfInstaller::desktopExecValue(const QString &program)
{
    // Quoted when it holds a reserved character: inside the quotes ", `, $ and \ take a backslash.
    // Then the string escapes of every value: \ doubled, line breaks and tabs as \n, \r, \t; and %
    // doubled, since %x are field codes.
    static const QString reserved = QStringLiteral(" \t\n\r\"'\\><~|&;$*?#()`");
    QString argument = program;
    if (std::any_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); })) {
        argument.clear();
        for (QChar c : program) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                argument += u'\\';
            argument += c;
        }
        argument = u'"' + argument + u'"';
    }
    QString value;
    for (QChar c : argument) {
        switch (c.unicode()) {
        case '\\': value += QStringLiteral("\\\\"); break;
        case '\n': value += QStringLiteral("\\n"); break;
        case '\r': value += QStringLiteral("\\r"); break;
        case '\t': value += QStringLiteral("\\t"); break;
        case '%': value += QStringLiteral("%%"); break;
        default: value += c;
        }
    }
    return value;
}

Expected<void> AppSelfInstaller::writeDesktopEntry(const QString &bundleRoot, const QString &dataHome)
{
    QString entry = QString::fromUtf8(desktopEntryTemplate);
    entry.replace(QStringLiteral("@MURMEX_EXEC@"), desktopExecValue(bundleRoot + QStringLiteral("/bin/murmex")));
    QFile icon(bundleRoot + QStringLiteral("/share/murmex/Murmex.svg"));
    QString errorText;
    if (!icon.open(QIODevice::ReadOnly))
        errorText = QStringLiteral("%1: %2").arg(icon.fileName(), icon.errorString());
    else if (writeFileAtomically(dataHome + QStringLiteral("/icons/hicolor/scalable/apps/murmex.svg"), icon.readAll(), &errorText)
             && writeFileAtomically(dataHome + QStringLiteral("/applications/murmex.desktop"), entry.toUtf8(), &errorText))
        return {};
    return std::unexpected(Error{errorDomain, 0, errorText});
}

Expected<void> AppSelfInstaller::relaunch(const QString &destination)
{
    if (bundleIdentifier(destination).isEmpty())
        return std::unexpected(murmexError(noIdentity, QStringLiteral("La copia instalada no tiene una identidad válida.")));
    const QString program = destination + QStringLiteral("/bin/murmex");
    const QString canonicalProgram = QFileInfo(program).canonicalFilePath();
    const QSet<qint64> runningBefore = processesRunning(canonicalProgram);

    // Murmex runs once per session: the copy can only start once this one has let go.
    if (services.releaseSingleInstance) {
        services.releaseSingleInstance();
        singleInstanceReleased = true;
    }
    if (canonicalProgram.isEmpty() || !QProcess::startDetached(program, QCoreApplication::arguments().mid(1)))
        return std::unexpected(murmexError(launchFailed, QStringLiteral("No se pudo abrir la copia instalada en %1.").arg(destination)));
    for (int poll = 0; poll < relaunchPolls; ++poll) {
        if (!(processesRunning(canonicalProgram) - runningBefore).isEmpty())
            return {};
        QThread::msleep(relaunchPollIntervalMs);
    }
    return std::unexpected(murmexError(notSeenRunning, QStringLiteral("La copia se instaló, pero no llegó a iniciarse desde %1.").arg(destination)));
}
