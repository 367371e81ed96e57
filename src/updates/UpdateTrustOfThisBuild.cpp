#include "UpdateTrust.h"

// The values given to CMake when this build was configured (checked there: a key that is not
// empty is the Base64 of a 91-byte P-256 SubjectPublicKeyInfo).
UpdateTrust UpdateTrust::ofThisBuild()
{
    UpdateTrust trust;
    trust.feedHost = QStringLiteral(MURMEX_UPDATE_HOST);
    trust.feedPort = MURMEX_UPDATE_PORT;
    trust.publicKeyDER = QByteArray::fromBase64(QByteArrayLiteral(MURMEX_UPDATE_PUBLIC_KEY));
    trust.platformTag = QStringLiteral(MURMEX_UPDATE_PLATFORM_TAG);
    return trust;
}
