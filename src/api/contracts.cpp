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

ContractCatalogue parseContracts(const QByteArray &body, bool *readable)
{
    ContractCatalogue catalogue;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (readable)
        *readable = document.isObject();
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

ContractCatalogue fetchContracts(QNetworkAccessManager *manager, QString *failure)
{
    if (failure)
        failure->clear();
    if (!manager)
        return ContractCatalogue();
    ApiReply reply = postJson(manager, apiUrl(), contractsRequestBody());
    if (reply.outcome != ApiOutcome::Answered) {
        if (failure)
            *failure = apiFailureText(reply);
        return ContractCatalogue();
    }
    reply.body = decryptResponse(reply.body);
    bool readable = false;
    const ContractCatalogue catalogue = parseContracts(reply.body, &readable);
    if (failure && !readable)
        *failure = apiFailureText(reply);
    qCDebug(lcApi) << "contract list:" << catalogue.size() << "exchanges";
    return catalogue;
}
