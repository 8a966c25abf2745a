// Frames from the tick stream through the worker's own handler, and the record
// rules that turn them into tick lines.
#include "fuzzsupport.h"

#include "live/tickbuffer.h"
#include "live/tickline.h"
#include "live/websocketworker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

WebSocketWorker *worker = nullptr;
TickBuffer *ticks = nullptr;

// Every tick line: eight fields, one line feed at its end, a price above 0.
void checkTickLines(const QByteArray &lines)
{
    if (lines.isEmpty())
        return;
    FuzzSupport::require(lines.endsWith('\n'), "tick lines end with a line feed");
    for (const QByteArray &line : lines.left(lines.size() - 1).split('\n')) {
        FuzzSupport::require(line.count(',') == 7, "tick line has eight fields");
        FuzzSupport::require(!line.contains('\r'), "no carriage return inside a tick line");
        bool ok = false;
        const double price = line.split(',').at(4).toDouble(&ok);
        FuzzSupport::require(ok && price > 0, "tick line price above 0");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::initApplication();
    worker = new WebSocketWorker(QUrl(QStringLiteral("ws://127.0.0.1:1/")), {}, QStringLiteral("rtsocket.txt"),
                                 QString());
    ticks = new TickBuffer;
    worker->setTickBuffer(ticks);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool subscribeFirst = data[0] & 1;
    const QByteArray input = FuzzSupport::bytes(data + 1, size - 1);

    if (subscribeFirst)
        worker->onTextMessageReceived(QStringLiteral(R"({"type":"sub_ack","action":"subscribe","symbols":[]})"));
    // The frame as sent, and the same bytes as the records of a batch.
    worker->onTextMessageReceived(QString::fromUtf8(input));
    worker->onTextMessageReceived(QStringLiteral(R"({"type":"batch","records":)") + QString::fromUtf8(input)
                                  + QLatin1Char('}'));
    worker->onBinaryMessageReceived(input);
    checkTickLines(ticks->takePending());

    const QJsonDocument doc = QJsonDocument::fromJson(input);
    if (doc.isArray())
        checkTickLines(tickLinesFromRecords(doc.array()));
    if (doc.isObject()) {
        QByteArray one;
        if (appendTickLine(doc.object(), one))
            checkTickLines(one);
        else
            FuzzSupport::require(one.isEmpty(), "a dropped record appends nothing");
    }
    return 0;
}
