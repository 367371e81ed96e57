#include "BundleValidation.h"
#include "CodeSignature.h"
#include "UpdateSecurityDetail.h"

#include <QFile>
#include <QJsonObject>
#include <QSysInfo>

#include <elf.h>
#include <sys/stat.h>

#include <cstring>

namespace BundleValidation {
namespace {

using UpdateSecurityDetail::refusal;

constexpr qint64 maximumBundleJSONBytes = 65'536;

Expected<void> checkBundleJSON(const QString &bundleRoot, const QString &expectedVersion)
{
    const QString path = bundleRoot + QStringLiteral("/bundle.json");
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::unexpected(refusal(QStringLiteral("falta bundle.json o no es un archivo")));
    QFile file(path);
    if (status.st_size > maximumBundleJSONBytes || !file.open(QIODevice::ReadOnly))
        return std::unexpected(refusal(QStringLiteral("bundle.json ilegible")));
    const auto object = UpdateSecurityDetail::objectWithoutRepeatedKeys(file.read(maximumBundleJSONBytes + 1));
    if (!object)
        return std::unexpected(refusal(QStringLiteral("bundle.json no es un objeto JSON sin claves repetidas")));
    // An update archive holds a bundle that updates itself; one that names a manager came from a
    // build tree or a package.
    if (object->contains(QStringLiteral("managedBy")))
        return std::unexpected(refusal(QStringLiteral("bundle.json lleva \"managedBy\": no es un bundle de actualización")));
    const QList<std::pair<QString, QString>> expected{{QStringLiteral("identifier"), identifier},
                                                      {QStringLiteral("version"), expectedVersion},
                                                      {QStringLiteral("executable"), QStringLiteral("murmex")}};
    if (object->size() != expected.size())
        return std::unexpected(refusal(QStringLiteral("bundle.json debe tener exactamente \"identifier\", \"version\" y \"executable\"")));
    for (const auto &[key, value] : expected) {
        const QJsonValue found = object->value(key);
        if (!found.isString() || found.toString() != value)
            return std::unexpected(refusal(QStringLiteral("bundle.json: \"%1\" no es \"%2\"").arg(key, value)));
    }
    return {};
}

Expected<void> checkExecutable(const QString &bundleRoot)
{
    const QString path = bundleRoot + QStringLiteral("/bin/murmex");
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::unexpected(refusal(QStringLiteral("falta bin/murmex o no es un archivo")));
    if ((status.st_mode & S_IXUSR) == 0)
        return std::unexpected(refusal(QStringLiteral("bin/murmex no es ejecutable")));
    QFile file(path);
    Elf64_Ehdr header{};
    if (!file.open(QIODevice::ReadOnly) || file.read(reinterpret_cast<char *>(&header), sizeof header) != qint64(sizeof header)
        || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return std::unexpected(refusal(QStringLiteral("bin/murmex no es un programa ELF")));
    // The header's fields are read in this machine's byte order, which the ELF must share.
    const unsigned char ownByteOrder = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? ELFDATA2LSB : ELFDATA2MSB;
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ownByteOrder)
        return std::unexpected(refusal(QStringLiteral("bin/murmex no es un ELF de 64 bits para este equipo")));
    if (header.e_machine != runningMachine())
        return std::unexpected(refusal(QStringLiteral("bin/murmex es para otra arquitectura (máquina ELF %1, este equipo %2)")
                                           .arg(header.e_machine)
                                           .arg(runningMachine())));
    return {};
}

} // namespace

Expected<void> validateBundle(const QString &bundleRoot, const QString &expectedVersion, const UpdateTrust &trust)
{
    if (auto checked = checkBundleJSON(bundleRoot, expectedVersion); !checked)
        return checked;
    const auto entries = UpdateSecurityDetail::bundleEntries(bundleRoot);
    if (!entries)
        return std::unexpected(entries.error());
    for (const auto &entry : *entries) {
        if (entry.kind == UpdateSecurityDetail::BundleEntry::symbolicLink)
            return std::unexpected(refusal(QStringLiteral("enlace simbólico en el bundle: %1").arg(entry.path)));
    }
    if (auto checked = checkExecutable(bundleRoot); !checked)
        return checked;
    return CodeSignature::verify(bundleRoot, identifier, trust.publicKeyDER);
}

int runningMachine()
{
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#elif defined(__riscv) && __riscv_xlen == 64
    return EM_RISCV;
#elif defined(__powerpc64__)
    return EM_PPC64;
#elif defined(__s390x__)
    return EM_S390;
#else
#error "the ELF machine of this architecture is not known"
#endif
}

} // namespace BundleValidation
