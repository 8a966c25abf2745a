#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// The program's one network manager, shared by the API calls and the contract
// list; without one every request returns empty at once. Not owned.
void setApiNetworkManager(QNetworkAccessManager *manager);
QNetworkAccessManager *apiNetworkManager();

// "<api base>/api.php".
QUrl apiUrl();

// A request that transfers nothing for this long is given up and ends like a
// failed one (empty body), so a silent server cannot hang the GUI thread.
inline constexpr int ApiRequestTimeoutMs = 30000;
// Tests shorten it; a value <= 0 restores the default.
void setApiRequestTimeoutMs(int ms);
int apiRequestTimeoutMs();

// Posts {"action": action, ...parameters} as indented JSON and waits in a local
// event loop (GUI events keep flowing) for the answer; returns the body, unwrapped
// when it came in the enciphered envelope. Empty on any failure or time-out.
QByteArray apiRequest(const QString &action, const QJsonObject &parameters = QJsonObject());

// Unwraps {"encrypted": "<base64 of AES-256-CBC>"}; any other body comes back as received.
QByteArray decryptResponse(const QByteArray &body);

// Cipher key (SHA-256 of the pass phrase) and IV (first 16 bytes of SHA-256 of "iv_" + pass phrase).
QByteArray apiCipherKey();
QByteArray apiCipherIv();

// The server side of the envelope: PKCS#7-pads the JSON text, enciphers it and
// returns the compact JSON {"encrypted": "<base64>"}.
QByteArray encryptEnvelope(const QByteArray &json);

// Posts a JSON body to the URL with the given manager and waits, as apiRequest
// does, with the same time-out. Returns the raw body (empty on error or time-out).
QByteArray postJsonAndWait(QNetworkAccessManager *manager, const QUrl &url, const QByteArray &body);
