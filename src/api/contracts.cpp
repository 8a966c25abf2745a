#include "contracts.h"

#include "api/apirequest.h"
#include "api/serversettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApi)

QByteArray contractsRequestBody()
{
    QJsonObject object;
    object.insert(QLatin1String(ApiField::Action), QLatin1String(ContractsAction));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

ContractCatalogue parseContracts(const QByteArray &body)
{
    ContractCatalogue catalogue;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject root = document.object();
    if (!root.value(QLatin1String(ApiField::Success)).toBool(false))
        return catalogue;
    const QJsonArray contracts = root.value(QLatin1String(ApiField::Contracts)).toArray();
    const QLatin1String symbolKey(ApiField::Symbol);
    const QLatin1String exchKey(ApiField::Exch);
    // Consecutive contracts mostly share an exchange: keep the last list at hand
    // instead of hashing the name for every element.
    QString lastExch;
    QStringList *list = nullptr;
    for (const QJsonValue &element : contracts) {
        const QJsonObject contract = element.toObject();
        const QString exch = contract.value(exchKey).toString();
        if (!list || exch != lastExch) {
            list = &catalogue[exch];
            lastExch = exch;
        }
        list->append(contract.value(symbolKey).toString());
    }
    return catalogue;
}

ContractCatalogue fetchContracts(QNetworkAccessManager *manager)
{
    if (!manager)
        return ContractCatalogue();
    const QByteArray body = postJsonAndWait(manager, apiUrl(), contractsRequestBody());
    const ContractCatalogue catalogue = parseContracts(decryptResponse(body));
    qCDebug(lcApi) << "contract list:" << catalogue.size() << "exchanges";
    return catalogue;
}
