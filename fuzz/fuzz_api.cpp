// Answers of the data server: the enciphered envelope and the three records read
// from it (start-up, backfill paths, contract list).
#include "fuzzsupport.h"

#include "api/apirequest.h"
#include "api/contracts.h"
#include "api/serversettings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int mode = data[0] % 3;
    const QByteArray input = FuzzSupport::bytes(data + 1, size - 1);

    QByteArray body;
    switch (mode) {
    case 0: // the body as the server might send it
        body = input;
        break;
    case 1: // arbitrary cipher text inside a well-formed envelope
        body = "{\"encrypted\":\"" + input.toBase64() + "\"}";
        break;
    case 2: { // a genuine envelope must give back exactly what went in
        const QByteArray sealed = encryptEnvelope(input);
        FuzzSupport::require(decryptResponse(sealed) == input, "envelope round trip");
        body = sealed;
        break;
    }
    }

    const QByteArray plain = decryptResponse(body);
    const StartupSettings startup = StartupSettings::fromBody(plain);
    // What we read back out must survive its own record form unchanged.
    const StartupSettings again = StartupSettings::fromJson(startup.toJson());
    FuzzSupport::require(again.websocketLink == startup.websocketLink && again.daysbox == startup.daysbox
                             && again.symbolAllowed == startup.symbolAllowed,
                         "start-up record round trip");
    BackfillPathSettings::fromBody(plain);
    const ContractCatalogue catalogue = parseContracts(plain);
    for (auto it = catalogue.cbegin(); it != catalogue.cend(); ++it)
        FuzzSupport::require(!it.value().isEmpty(), "no exchange without contracts");
    return 0;
}
