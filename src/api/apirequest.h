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

// Every request has this long from the moment it is sent to its last byte,
// however the answer trickles in; then it is given up and ends as timed out.
inline constexpr int ApiRequestTimeoutMs = 30000;
// Tests shorten it; a value <= 0 restores the default.
void setApiRequestTimeoutMs(int ms);
int apiRequestTimeoutMs();

// The largest answer taken (a contract list of 150,000 contracts, enveloped, is
// about a tenth of it); a longer one is cut off and ends as too large.
inline constexpr qint64 MaxApiAnswerBytes = 64 * 1024 * 1024;

// How an exchange with the data server ended.
enum class ApiOutcome {
    Answered,    // an answer came (it may still be unusable)
    Unreachable, // no answer: refused, host unknown, connection lost...
    TimedOut,    // no whole answer within the deadline
    TooLarge,    // the answer ran past MaxApiAnswerBytes
};

struct ApiReply
{
    ApiOutcome outcome = ApiOutcome::Answered;
    // The answer (unwrapped where the call says so); empty unless answered.
    QByteArray body;
    // For Unreachable: what the network said, in words ("connection refused").
    QString reason;
};

// What a trader is told when an answer could not be used and the server gave no
// message of its own: "Cannot reach the data server (connection refused)", "The
// data server did not answer within 30 s", "The data server's answer could not be read".
QString apiFailureText(const ApiReply &reply);

// Posts {"action": action, ...parameters} as indented JSON and waits in a local
// event loop (GUI events keep flowing) for the answer, unwrapped when it came in
// the enciphered envelope.
ApiReply apiExchange(const QString &action, const QJsonObject &parameters = QJsonObject());
// The body of apiExchange alone: empty on any failure.
QByteArray apiRequest(const QString &action, const QJsonObject &parameters = QJsonObject());

// Unwraps {"encrypted": "<base64 of AES-256-CBC>"}; any other body comes back as received.
QByteArray decryptResponse(const QByteArray &body);

// Cipher key (SHA-256 of the pass phrase) and IV (first 16 bytes of SHA-256 of "iv_" + pass phrase).
QByteArray apiCipherKey();
QByteArray apiCipherIv();

// The server side of the envelope: PKCS#7-pads the JSON text, enciphers it and
// returns the compact JSON {"encrypted": "<base64>"}.
QByteArray encryptEnvelope(const QByteArray &json);

// Posts a JSON body to the URL with the given manager and waits, as apiExchange
// does, under the same deadline and size limit. The body comes back as received.
ApiReply postJson(QNetworkAccessManager *manager, const QUrl &url, const QByteArray &body);
