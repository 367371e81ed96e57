#include "updates/UpdateTrust.h"

// A test build trusts the feed the tests serve on this machine and the key made for the build
// tree; UpdateSigning::testTrust() returns it to the tests.
UpdateTrust UpdateTrust::ofThisBuild()
{
    UpdateTrust trust;
    trust.feedHost = QStringLiteral(MURMEX_TEST_UPDATE_HOST);
    trust.feedPort = MURMEX_TEST_UPDATE_PORT;
    trust.publicKeyDER = QByteArray::fromHex(QByteArrayLiteral(MURMEX_TEST_UPDATE_PUBLIC_KEY_HEX));
    trust.platformTag = QStringLiteral(MURMEX_UPDATE_PLATFORM_TAG);
    return trust;
}
