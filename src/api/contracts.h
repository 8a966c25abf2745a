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
// (plain or enveloped). Any failure, a time-out included, gives an empty catalogue.
ContractCatalogue fetchContracts(QNetworkAccessManager *manager);

// The catalogue of an already unwrapped answer body.
ContractCatalogue parseContracts(const QByteArray &body);
