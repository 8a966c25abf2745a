#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;

// Exchange name -> its symbols in the order of the answer.
using ContractCatalogue = QHash<QString, QStringList>;

// The exact body of the contract list request: {"action": "contracts"}, indented.
QByteArray contractsRequestBody();

// Posts the request to the API address and builds the catalogue from the answer
// (plain or enveloped). Any failure, a time-out included, gives an empty catalogue;
// *failure (when given) then says what happened, unless the server answered
// readably that it has no list for us.
ContractCatalogue fetchContracts(QNetworkAccessManager *manager, QString *failure = nullptr);

// The catalogue of an already unwrapped answer body; *readable (when given) tells
// whether the body was a JSON object at all.
ContractCatalogue parseContracts(const QByteArray &body, bool *readable = nullptr);
