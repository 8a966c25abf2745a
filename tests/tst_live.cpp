#include <QtTest>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include "common/quotestamp.h"
#include "feedsimstream.h"
#include "live/batchframe.h"
#include "live/tickbuffer.h"
#include "live/livehealth.h"
#include "live/tickline.h"
#include "live/websocketworker.h"
#include "platform/filereplace.h"
#include "platform/installroot.h"
#include "testenv.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>

namespace {

const QString AckSubscribe = QStringLiteral(R"({"type":"sub_ack","action":"subscribe","symbols":["NIFTY-I"]})");

QString batchFrame(const QString &recordsJson)
{
    return QStringLiteral(R"({"type":"batch","records":[%1]})").arg(recordsJson);
}

QString tickFilePath()
{
    return Platform::installPathFwd(QStringLiteral("rtsocket.txt"));
}

// Counts a worker's signals in the test thread, wherever the worker lives.
struct WorkerSignals : QObject
{
    int connected = 0;
    int disconnected = 0;
    int batches = 0;
    QList<QStringList> acks;

    explicit WorkerSignals(WebSocketWorker *worker)
    {
        connect(worker, &WebSocketWorker::connected, this, [this] { ++connected; });
        connect(worker, &WebSocketWorker::disconnected, this, [this] { ++disconnected; });
        connect(worker, &WebSocketWorker::rtDataDownloaded, this, [this] { ++batches; });
        connect(worker, &WebSocketWorker::subscribedAck, this, [this](const QStringList &s) { acks << s; });
    }
};

QTimer *workerTimer(WebSocketWorker *worker, const char *name)
{
    return worker->findChild<QTimer *>(QLatin1String(name));
}

} // namespace

class tst_live : public QObject
{
    Q_OBJECT

    std::unique_ptr<FeedSimStream> m_stream;
    // Where the workers of a test leave their tick lines.
    std::unique_ptr<TickBuffer> m_ticks;

    // A worker in the test thread, connected to m_stream and subscribed to `symbols`.
    std::unique_ptr<WebSocketWorker> connectedWorker(const QStringList &symbols, WorkerSignals **sigs,
                                                     const QString &clientId = QStringLiteral("QM-TEST"))
    {
        auto worker = std::make_unique<WebSocketWorker>(m_stream->url(), symbols, QStringLiteral("rtsocket.txt"), clientId);
        worker->setTickBuffer(m_ticks.get());
        *sigs = new WorkerSignals(worker.get());
        (*sigs)->setParent(worker.get());
        worker->start();
        return worker;
    }

private slots:
    void init()
    {
        TestEnv::instance()->reset();
        m_ticks = std::make_unique<TickBuffer>();
        m_stream = std::make_unique<FeedSimStream>();
        m_stream->setRate(0);
        QVERIFY(m_stream->start());
    }
    void cleanup()
    {
        m_stream.reset();
    }

    // ---- tick line text -------------------------------------------------

    void priceText_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("index future") << 24567.85 << "24567.85";
        QTest::newRow("seven digits, one decimal") << 123456.7 << "123456.7";
        QTest::newRow("seven integer digits") << 1234567.0 << "1234567";
        QTest::newRow("integer") << 5.0 << "5";
        QTest::newRow("one decimal") << 101.5 << "101.5";
        QTest::newRow("eight digits") << 130456.75 << "130456.75";
        QTest::newRow("paise") << 0.05 << "0.05";
        QTest::newRow("tiny") << 1e-7 << "0.0000001";
        QTest::newRow("huge") << 1e21 << "1000000000000000000000";
        QTest::newRow("binary noise kept") << 0.1 + 0.2 << "0.30000000000000004";
    }
    void priceText()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(formatPrice(value), text);
        QByteArray appended("x,");
        appendPrice(appended, value);
        QCOMPARE(appended, QByteArray("x,") + text.toLatin1());
    }

    void priceTextReadsBackExactly()
    {
        QRandomGenerator random(7);
        for (int i = 0; i < 20000; ++i) {
            // Prices from paise to crores, and raw doubles with every bit pattern of a mantissa.
            const double value = i % 2 ? double(random.bounded(1, 2000000000)) / 100.0
                                       : random.generateDouble() * std::pow(10.0, random.bounded(-6, 16));
            const QString text = formatPrice(value);
            QVERIFY2(!text.contains(QLatin1Char('e')) && !text.contains(QLatin1Char('E')), qPrintable(text));
            bool ok = false;
            QCOMPARE(text.toDouble(&ok), value);
            QVERIFY(ok);
        }
    }

    void halfUpRounding_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<qint64>("rounded");
        QTest::newRow("2.5") << 2.5 << qint64(3);
        QTest::newRow("-2.5") << -2.5 << qint64(-2);
        QTest::newRow("12.5") << 12.5 << qint64(13);
        QTest::newRow("-0.5") << -0.5 << qint64(0);
        QTest::newRow("-1.5") << -1.5 << qint64(-1);
        QTest::newRow("-1.51") << -1.51 << qint64(-2);
        QTest::newRow("1.49") << 1.49 << qint64(1);
        QTest::newRow("just below a half") << 0.49999999999999994 << qint64(0);
        QTest::newRow("large exact") << 4503599627370497.0 << qint64(4503599627370497LL);
        QTest::newRow("beyond range") << 1e300 << std::numeric_limits<qint64>::max();
        QTest::newRow("below range") << -1e300 << std::numeric_limits<qint64>::min();
        QTest::newRow("nan") << std::nan("") << qint64(0);
    }
    void halfUpRounding()
    {
        QFETCH(double, value);
        QFETCH(qint64, rounded);
        QCOMPARE(roundHalfUp(value), rounded);
    }

    void recordRules_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QString>("line"); // empty: the record is dropped
        QTest::newRow("numbers") << R"({"type":"tick","symbol":"SBIN","ltd":"20240131","ltt":"09:15:01","ltp":812.35,"ltq":10,"oi":0,"vol":1200})"
                                 << "tick,SBIN,20240131,09:15:01,812.35,10,0,1200\n";
        QTest::newRow("price as string") << R"({"ltd":"20240131","ltt":"09:15:01","type":"t","symbol":"A","ltp":"101.5"})" << "t,A,20240131,09:15:01,101.5,0,0,0\n";
        QTest::newRow("price abc") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":"abc"})" << "";
        QTest::newRow("price zero") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":0})" << "";
        QTest::newRow("price negative") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":-3})" << "";
        QTest::newRow("price missing") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A"})" << "";
        QTest::newRow("price bool") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":true})" << "";
        QTest::newRow("price infinite") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":"inf"})" << "";
        QTest::newRow("oi missing") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"ltq":4,"vol":9})" << ",A,20240131,09:15:01,1,4,0,9\n";
        QTest::newRow("half up") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"ltq":2.5,"oi":-2.5,"vol":12.5})" << ",A,20240131,09:15:01,1,3,-2,13\n";
        QTest::newRow("counts as strings") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"ltq":"7","oi":"","vol":null})" << ",A,20240131,09:15:01,1,7,0,0\n";
        QTest::newRow("count not a number") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"oi":"x"})" << "";
        QTest::newRow("count not plain") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"vol":"1e3"})" << "";
        QTest::newRow("count a list") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"ltq":[1]})" << "";
        QTest::newRow("count beyond 10^15") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"vol":1000000000000001})" << "";
        QTest::newRow("count at 10^15") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1,"vol":"-1000000000000000"})"
                                        << ",A,20240131,09:15:01,1,0,0,-1000000000000000\n";
        QTest::newRow("price 1e308") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1e308})" << "";
        QTest::newRow("price 1e-300") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1e-300})" << "";
        QTest::newRow("price written with exponent") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":"1.5e3"})" << "";
        QTest::newRow("price with blanks") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":" 5"})" << "";
        QTest::newRow("price plain forms") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":"+.5","ltq":"3."})" << ",A,20240131,09:15:01,0.5,3,0,0\n";
        QTest::newRow("price a bare point") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":"."})" << "";
        QTest::newRow("price with two points") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":"1.2.3"})" << "";
        QTest::newRow("price beyond 10^15") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":"1000000000000000.5"})" << "";
        QTest::newRow("symbol of 64") << QStringLiteral(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"%1","ltp":5})").arg(QString(64, QLatin1Char('S')))
                                      << QStringLiteral(",%1,20240131,09:15:01,5,0,0,0\n").arg(QString(64, QLatin1Char('S')));
        QTest::newRow("symbol of 65") << QStringLiteral(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"%1","ltp":5})").arg(QString(65, QLatin1Char('S'))) << "";
        QTest::newRow("symbol of a megabyte") << QStringLiteral(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"%1","ltp":5})").arg(QString(1000000, QLatin1Char('S'))) << "";
        QTest::newRow("separator at the symbol's end trimmed") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A\u2028","ltp":5})"
                                                               << ",A,20240131,09:15:01,5,0,0,0\n";
        // Characters that end a line or a read for some reader, inside a text field.
        const char *const forbidden[] = {"\\u0000", "\\u000b", "\\u000c", "\\u001a", "\\u007f", "\\u0085", "\\u2028", "\\u2029", "\\t"};
        for (const char *c : forbidden) {
            for (const char *field : {"type", "symbol"}) {
                QJsonObject record{{"ltd", "20240131"}, {"ltt", "09:15:01"}, {"symbol", "NIFTY-I"}, {"ltp", 5}, {"type", "tick"}};
                const QString escaped = QString::fromLatin1(c);
                const QString value = record.value(QLatin1String(field)).toString();
                // In the middle, where trimming cannot take it away.
                QString text = QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
                text.replace(QStringLiteral("\"%1\"").arg(value),
                             QStringLiteral("\"%1%2%3\"").arg(value.left(2), escaped, value.mid(2)));
                QTest::newRow(qPrintable(QStringLiteral("%1 in %2").arg(escaped, QLatin1String(field)))) << text << "";
            }
        }
        QTest::newRow("symbol trimmed") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"  NIFTY-I \t","ltp":24567.85})" << ",NIFTY-I,20240131,09:15:01,24567.85,0,0,0\n";
        QTest::newRow("symbol blank") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"   ","ltp":5})" << "";
        QTest::newRow("symbol not text") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":7,"ltp":5})" << "";
        QTest::newRow("type not text") << R"({"ltd":"20240131","ltt":"09:15:01","type":1,"symbol":"A","ltp":5})" << ",A,20240131,09:15:01,5,0,0,0\n";
        QTest::newRow("date and time not text") << R"({"symbol":"A","ltd":20240131,"ltt":[],"ltp":5})" << "";
        QTest::newRow("no date or time") << R"({"symbol":"A","ltp":5})" << "";
        QTest::newRow("hour 31") << R"({"symbol":"A","ltd":"20240131","ltt":"31:63:00","ltp":5})" << "";
        QTest::newRow("month 13") << R"({"symbol":"A","ltd":"2026-13-45","ltt":"09:15:01","ltp":5})" << "";
        QTest::newRow("empty time") << R"({"symbol":"A","ltd":"20240131","ltt":"","ltp":5})" << "";
        QTest::newRow("a word for a date") << R"({"symbol":"A","ltd":"yesterday","ltt":"09:15:01","ltp":5})" << "";
        QTest::newRow("other forms kept") << R"({"symbol":"A","ltd":"31/01/2024","ltt":"091501.250","ltp":5})"
                                          << ",A,31/01/2024,091501.250,5,0,0,0\n";
        QTest::newRow("large price") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A","ltp":1234567})" << ",A,20240131,09:15:01,1234567,0,0,0\n";
        QTest::newRow("comma in date") << R"({"symbol":"A","ltd":"31,01","ltt":"09:15:01","ltp":5})" << "";
        QTest::newRow("line break in symbol") << R"({"ltd":"20240131","ltt":"09:15:01","symbol":"A\nB","ltp":5})" << "";
        QTest::newRow("line break in type") << R"({"ltd":"20240131","ltt":"09:15:01","type":"x\r","symbol":"A","ltp":5})" << "";
        QTest::newRow("utf-8 symbol") << QString::fromUtf8(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"ÄB","ltp":5})") << QString::fromUtf8(",ÄB,20240131,09:15:01,5,0,0,0\n");
    }
    // Frames read from their text: what the worker takes from a frame, and which
    // frames it can read at all (the same ones Qt's JSON reader can).
    void frameReading_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("records");
        QTest::addColumn<QByteArray>("lines");
        const QString rec = R"({"type":"tick","symbol":"NIFTY-I","ltd":"20240131","ltt":"09:15:01","ltp":24000.5,"ltq":75})";
        const QByteArray line = "tick,NIFTY-I,20240131,09:15:01,24000.5,75,0,0\n";
        QTest::newRow("batch") << batchFrame(rec) << true << "batch" << 1 << line;
        QTest::newRow("records before type") << QStringLiteral(R"({"records":[%1],"type":"batch"})").arg(rec) << true << "batch" << 1 << line;
        QTest::newRow("escaped names and texts")
            << QStringLiteral(" {\"t\\u0079pe\" : \"ba\\u0074ch\", \"records\" : [ {\"\\u0073ymbol\":\"NIF\\u0054Y\\/I\",\"ltd\":\"20240131\","
                              "\"ltt\":\"09:15:01\",\"ltp\":\"5\",\"other\":{\"a\":[1,{\"b\":null}],\"c\":\"\\\"]}\"}} ] } ")
            << true << "batch" << 1 << QByteArray(",NIFTY/I,20240131,09:15:01,5,0,0,0\n");
        QTest::newRow("member given twice")
            << QStringLiteral(R"({"type":"sub_ack","records":[],"type":"batch","records":[{"symbol":"A","symbol":"B","ltd":"20240131","ltt":"09:15:01","ltp":9,"ltp":"x"},{"symbol":"C","ltd":"20240131","ltt":"09:15:01","ltp":"x","ltp":7}]})")
            << true << "batch" << 2 << QByteArray(",C,20240131,09:15:01,7,0,0,0\n");
        QTest::newRow("type not text") << QStringLiteral(R"({"type":"batch","type":["batch"],"records":[%1]})").arg(rec) << true << "" << 1 << line;
        QTest::newRow("byte order mark") << QChar(0xFEFF) + batchFrame(rec) << true << "batch" << 1 << line;
        QTest::newRow("non-objects among records") << batchFrame(QStringLiteral(R"(1,"x",null,[],true,%1)").arg(rec)) << true << "batch" << 6 << line;
        QTest::newRow("records not a list") << QStringLiteral(R"({"type":"batch","records":{"a":[1]}})") << true << "batch" << 0 << QByteArray();
        QTest::newRow("no records") << QStringLiteral(R"({"type":"batch"})") << true << "batch" << 0 << QByteArray();
        QTest::newRow("nothing") << QStringLiteral("{}") << true << "" << 0 << QByteArray();
        QTest::newRow("numbers in Qt's forms") << QStringLiteral(R"({"a":[-0,1.,.5,-1.5e+3,0E0]})") << true << "" << 0 << QByteArray();
        QTest::newRow("raw control character in a text") << QStringLiteral("{\"a\":\"x\ty\"}") << true << "" << 0 << QByteArray();
        const QString deepest = QStringLiteral(R"({"a":%1%2})").arg(QString(1023, QLatin1Char('[')), QString(1023, QLatin1Char(']')));
        QTest::newRow("nested 1024 deep") << deepest << true << "" << 0 << QByteArray();
        for (const char *bad : {"", " ", "[]", "\"batch\"", "{", "{\"type\":\"batch\"", "{\"type\":\"batch\"} x",
                                "{\"a\":tru}", "{\"a\":nul", "{\"a\":\"open}", "{\"a\":1,}", "{,}", "{\"a\" 1}", "{\"a\":-}",
                                "{\"a\":1.5e}", "{\"a\":01}", "{\"a\":\"\\u12G4\"}", "{\"a\":[1 2]}", "{\"a\":[1,]}", "{\"a\":{\"b\"}}",
                                "{\"a\":]}", "{\"a\":[}", "{'a':1}", "{a:1}", "{\"records\":[{\"symbol\":\"A\",}]}"}) {
            QTest::newRow(qPrintable(QStringLiteral("unreadable: %1").arg(QLatin1String(bad)))) << QString::fromLatin1(bad) << false << "" << 0 << QByteArray();
        }
        QTest::newRow("unreadable: nested 1025 deep") << QStringLiteral(R"({"a":%1%2})").arg(QString(1024, QLatin1Char('[')), QString(1024, QLatin1Char(']')))
                                                      << false << "" << 0 << QByteArray();
        QTest::newRow("unreadable: 200,000 open brackets") << QStringLiteral(R"({"records":%1)").arg(QString(200000, QLatin1Char('[')))
                                                           << false << "" << 0 << QByteArray();
    }
    void frameReading()
    {
        QFETCH(QString, frame);
        QFETCH(bool, readable);
        QFETCH(QString, type);
        QFETCH(int, records);
        QFETCH(QByteArray, lines);
        QCOMPARE(QJsonDocument::fromJson(frame.toUtf8()).isObject(), readable);
        StreamFrame head;
        QCOMPARE(readStreamFrame(frame, &head), readable);
        if (!readable)
            return;
        QCOMPARE(head.type, type);
        int count = -1;
        int kept = -1;
        QCOMPARE(tickLinesFromRecordsText(head.records, &count, &kept), lines);
        QCOMPARE(count, records);
        QCOMPARE(kept, lines.count('\n'));
    }

    void tickMoments_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::addColumn<bool>("real");
        QTest::newRow("compact") << "20240131" << "09:15:01" << true;
        QTest::newRow("dashes, fraction") << "2024-01-31" << "09:15:01.125" << true;
        QTest::newRow("slashes, no seconds") << "2024/1/31" << "9:15" << true;
        QTest::newRow("dots, digits only") << "2024.01.31" << "091501" << true;
        QTest::newRow("digits only, fraction") << "240131" << "091501.5" << true;
        QTest::newRow("day first") << "31-01-2024" << "0915" << true;
        QTest::newRow("day first, compact") << "31012024" << "23:59:59" << true;
        QTest::newRow("leap day") << "20240229" << "00:00:00" << true;
        QTest::newRow("hour 31") << "20240131" << "31:63:00" << false;
        QTest::newRow("hour 24") << "20240131" << "24:00:00" << false;
        QTest::newRow("minute 60") << "20240131" << "09:60" << false;
        QTest::newRow("month 13") << "2026-13-45" << "09:15:01" << false;
        QTest::newRow("no leap day") << "2023-02-29" << "09:15:01" << false;
        QTest::newRow("compact month 13") << "20241301" << "09:15:01" << false;
        QTest::newRow("year out of reach") << "0024-01-31" << "09:15:01" << false;
        QTest::newRow("empty time") << "20240131" << "" << false;
        QTest::newRow("empty date") << "" << "09:15:01" << false;
        QTest::newRow("a word") << "yesterday" << "09:15:01" << false;
        QTest::newRow("date and time together") << "2024-01-31T09:15" << "09:15:01" << false;
        QTest::newRow("bare dot") << "20240131" << "09:15:01." << false;
        QTest::newRow("fraction of a minute") << "20240131" << "09:15.5" << false;
        QTest::newRow("fraction not digits") << "20240131" << "09:15:01.5a" << false;
        QTest::newRow("five digits") << "20240131" << "91501" << false;
        QTest::newRow("blank inside") << "20240131" << "09: 15" << false;
    }
    void tickMoments()
    {
        QFETCH(QString, date);
        QFETCH(QString, time);
        QFETCH(bool, real);
        QCOMPARE(QuoteStamp::isTickMoment(date, time), real);
    }

    void recordRules()
    {
        QFETCH(QString, record);
        QFETCH(QString, line);
        const QJsonDocument doc = QJsonDocument::fromJson(record.toUtf8());
        QVERIFY(doc.isObject());
        QByteArray out("previous\n");
        QCOMPARE(appendTickLine(doc.object(), out), !line.isEmpty());
        QCOMPARE(out, QByteArray("previous\n") + line.toUtf8());

        // The frame's own text, as the worker reads it, keeps the same lines.
        int records = 0;
        int kept = 0;
        QCOMPARE(tickLinesFromRecordsText(QStringLiteral("[%1]").arg(record), &records, &kept), line.toUtf8());
        QCOMPARE(records, 1);
        QCOMPARE(kept, line.isEmpty() ? 0 : 1);
    }

    // ---- worker against the stream --------------------------------------

    void authThenSubscribe_data()
    {
        QTest::addColumn<QString>("clientId");
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QString>("auth");
        QTest::addColumn<QString>("subscribe");
        QTest::newRow("id and symbols") << "QM-7F3A" << QStringList{"NIFTY-I", "SBIN"}
                                        << R"({"machine_id":"QM-7F3A","type":"auth"})"
                                        << R"({"symbols":["NIFTY-I","SBIN"],"type":"subscribe"})";
        QTest::newRow("no id") << "" << QStringList{"BANKNIFTY-I"} << R"({"machine_id":"MISSING-MACHINE-ID","type":"auth"})"
                               << R"({"symbols":["BANKNIFTY-I"],"type":"subscribe"})";
        QTest::newRow("no symbols") << "X" << QStringList{} << R"({"machine_id":"X","type":"auth"})"
                                    << R"({"symbols":[],"type":"subscribe"})";
    }
    void authThenSubscribe()
    {
        QFETCH(QString, clientId);
        QFETCH(QStringList, symbols);
        QFETCH(QString, auth);
        QFETCH(QString, subscribe);
        QVERIFY(QFileInfo::exists(tickFilePath()) == false);
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker(symbols, &sigs, clientId);
        // The constructor leaves an empty tick file for the importer to find.
        QCOMPARE(readFile(tickFilePath()), QByteArray());
        QVERIFY(QFileInfo::exists(tickFilePath()));
        QTRY_COMPARE(sigs->acks.size(), 1);
        QCOMPARE(sigs->acks.first(), symbols);
        QCOMPARE(sigs->connected, 1);
        QCOMPARE(m_stream->receivedFrames(), (QStringList{auth, subscribe}));

        // Health checks run while connected; a check on a live link schedules nothing.
        QTimer *health = workerTimer(worker.get(), "healthTimer");
        QTimer *reconnect = workerTimer(worker.get(), "reconnectTimer");
        QVERIFY(health && reconnect);
        QVERIFY(health->isActive());
        QCOMPARE(health->interval(), 10000);
        QVERIFY(!reconnect->isActive());
        worker->checkHealth();
        QVERIFY(!reconnect->isActive());
    }

    void batchesNeedSubscribeAck()
    {
        m_stream->setAcknowledge(false);
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QTRY_COMPARE(m_stream->subscribeLists().size(), 1);

        m_stream->sendText(batchFrame(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"EARLY","ltp":1})"));
        m_stream->sendText(QStringLiteral(R"({"type":"sub_ack","action":"unsubscribe","symbols":["NIFTY-I"]})"));
        m_stream->sendText(batchFrame(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"STILL-EARLY","ltp":2})"));
        m_stream->sendText(AckSubscribe);
        m_stream->sendText(batchFrame(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"NIFTY-I","ltp":24000.5,"ltq":75})"));
        QTRY_COMPARE(sigs->batches, 1);
        QCOMPARE(sigs->acks.size(), 1);
        QCOMPARE(readFile(tickFilePath()), QByteArray(",NIFTY-I,20240131,09:15:01,24000.5,75,0,0\n"));
        QCOMPARE(m_ticks->latestBatch(), QByteArray(",NIFTY-I,20240131,09:15:01,24000.5,75,0,0\n"));
        QCOMPARE(m_ticks->takePending(), QByteArray(",NIFTY-I,20240131,09:15:01,24000.5,75,0,0\n"));
    }

    void batchesReplaceTheTickFile()
    {
        m_stream->setAcknowledge(false);
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QTRY_COMPARE(m_stream->subscribeLists().size(), 1);
        m_stream->sendText(AckSubscribe);
        m_stream->sendText(batchFrame(R"({"type":"tick","symbol":" NIFTY-I ","ltd":"20240131","ltt":"09:15:01","ltp":"24567.85","ltq":2.5,"vol":12.5},)"
                                      R"({"ltd":"20240131","ltt":"09:15:01","symbol":"BAD","ltp":"abc"},{"ltd":"20240131","ltt":"09:15:01","symbol":"ZERO","ltp":0},{"ltd":"20240131","ltt":"09:15:01","symbol":"NEG","ltp":-3},7,)"
                                      R"({"ltd":"20240131","ltt":"09:15:01","symbol":"SBIN","ltp":812,"ltq":-2.5,"oi":3})"));
        const QByteArray first = "tick,NIFTY-I,20240131,09:15:01,24567.85,3,0,13\n,SBIN,20240131,09:15:01,812,-2,3,0\n";
        QTRY_COMPARE(sigs->batches, 1);
        QCOMPARE(readFile(tickFilePath()), first);
        QCOMPARE(m_ticks->latestBatch(), first);

        // Batches that keep nothing change nothing; the later ack shows they were handled.
        m_stream->sendText(batchFrame(QString()));
        m_stream->sendText(batchFrame(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"BAD","ltp":"abc"},{"ltd":"20240131","ltt":"09:15:01","symbol":"","ltp":5})"));
        m_stream->sendMalformedFrames();
        m_stream->sendText(AckSubscribe);
        QTRY_COMPARE(sigs->acks.size(), 2);
        QCOMPARE(sigs->batches, 1);
        QCOMPARE(readFile(tickFilePath()), first);
        QCOMPARE(m_ticks->latestBatch(), first);

        m_stream->sendText(batchFrame(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"GOLDM-I","ltp":72010,"oi":12})"));
        const QByteArray second = ",GOLDM-I,20240131,09:15:01,72010,0,12,0\n";
        QTRY_COMPARE(sigs->batches, 2);
        QCOMPARE(readFile(tickFilePath()), second);
        QCOMPARE(m_ticks->latestBatch(), second);
        QVERIFY(!QFileInfo::exists(tickFilePath() + QStringLiteral(".tmp")));
        // Every kept line is queued for import exactly once.
        QCOMPARE(m_ticks->takePending(), first + second);
        QCOMPARE(m_ticks->takePending(), QByteArray());
        QCOMPARE(sigs->disconnected, 0);
    }

    void readerAlwaysSeesAWholeBatch()
    {
        m_stream->setAcknowledge(false);
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("B")}, &sigs);
        QTRY_COMPARE(m_stream->subscribeLists().size(), 1);
        m_stream->sendText(AckSubscribe);
        QTRY_COMPARE(sigs->acks.size(), 1);

        // Batch k holds k % 7 + 1 lines of symbol Bk; a reader must never see a
        // missing file, an empty one after the first batch, or lines of two batches.
        constexpr int batches = 300;
        std::atomic<bool> done{false};
        std::atomic<bool> seenAny{false};
        std::atomic<int> reads{0};
        QStringList faults;
        QMutex faultsMutex;
        const QString path = tickFilePath();
        std::unique_ptr<QThread> reader(QThread::create([&] {
            while (!done.load()) {
                QFile f(path);
                QString fault;
                if (!f.open(QIODevice::ReadOnly)) {
                    fault = QStringLiteral("tick file missing");
                } else {
                    const QByteArray content = f.readAll();
                    ++reads;
                    if (content.isEmpty()) {
                        if (seenAny.load())
                            fault = QStringLiteral("empty tick file");
                    } else {
                        seenAny = true;
                        const QList<QByteArray> lines = content.split('\n');
                        const QByteArray symbol = lines.first().split(',').value(1);
                        const int k = symbol.mid(1).toInt();
                        if (!content.endsWith('\n') || lines.size() - 1 != k % 7 + 1
                            || content.count(symbol + ',') != k % 7 + 1)
                            fault = QStringLiteral("torn batch: ") + QString::fromUtf8(content);
                    }
                }
                if (!fault.isEmpty()) {
                    QMutexLocker lock(&faultsMutex);
                    faults << fault;
                }
            }
        }));
        reader->start();
        for (int k = 0; k < batches; ++k) {
            QStringList records;
            for (int i = 0; i <= k % 7; ++i)
                records << QStringLiteral(R"({"ltd":"20240131","ltt":"09:15:01","symbol":"B%1","ltp":%2,"ltq":%3})").arg(k).arg(k + 1).arg(i);
            m_stream->sendText(batchFrame(records.join(QLatin1Char(','))));
        }
        QTRY_COMPARE_WITH_TIMEOUT(sigs->batches, batches, 10000);
        done = true;
        QVERIFY(reader->wait(5000));
        QVERIFY(reads.load() > 0);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.mid(0, 3).join(QLatin1String(" | "))));
        QCOMPARE(readFile(path).count('\n'), (batches - 1) % 7 + 1);
    }

    void resubscribeWhileConnected()
    {
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QTRY_COMPARE(sigs->acks.size(), 1);
        worker->resubscribe({QStringLiteral("SBIN"), QStringLiteral("INFY")});
        QTRY_COMPARE(sigs->acks.size(), 2);
        QCOMPARE(sigs->acks.last(), (QStringList{"SBIN", "INFY"}));
        const QStringList frames = m_stream->receivedFrames();
        QCOMPARE(frames.mid(2), (QStringList{R"({"type":"unsubscribe_all"})", R"({"symbols":["SBIN","INFY"],"type":"subscribe"})"}));
        QCOMPARE(m_stream->unsubscribeCount(), 1);

        // The server's batches now carry the new symbols only.
        QCOMPARE(m_stream->sendBatchNow(), 2);
        QTRY_COMPARE(sigs->batches, 1);
        const QList<QByteArray> lines = readFile(tickFilePath()).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).startsWith("tick,SBIN,"));
        QVERIFY(lines.at(1).startsWith("tick,INFY,"));
    }

    void droppedConnectionReconnects()
    {
        WorkerSignals *sigs = nullptr;
        const QStringList symbols{QStringLiteral("NIFTY-I"), QStringLiteral("USDINR-I")};
        auto worker = connectedWorker(symbols, &sigs);
        QTRY_COMPARE(sigs->acks.size(), 1);
        QTimer *reconnect = workerTimer(worker.get(), "reconnectTimer");
        QTimer *health = workerTimer(worker.get(), "healthTimer");

        QElapsedTimer clock;
        clock.start();
        m_stream->dropAllConnections();
        QTRY_VERIFY(sigs->disconnected >= 1);
        QVERIFY(reconnect->isActive());
        QCOMPARE(reconnect->interval(), 3000);
        QVERIFY(!reconnect->isSingleShot());
        QVERIFY(!health->isActive());

        // Ticks between the reconnect and the new ack are dropped.
        QTRY_COMPARE_WITH_TIMEOUT(sigs->acks.size(), 2, 5000);
        QVERIFY(clock.elapsed() >= 2500);
        QCOMPARE(m_stream->connectionsAccepted(), 2);
        QCOMPARE(m_stream->subscribeLists(), (QList<QStringList>{symbols, symbols}));
        QCOMPARE(m_stream->authIds(), (QStringList{"QM-TEST", "QM-TEST"}));
        QVERIFY(!reconnect->isActive());
        QVERIFY(health->isActive());
        QCOMPARE(m_stream->sendBatchNow(), 2);
        QTRY_COMPARE(sigs->batches, 1);
    }

    void resubscribeWhileDisconnectedUsesNewList()
    {
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QTRY_COMPARE(sigs->acks.size(), 1);
        const quint16 port = m_stream->port();
        m_stream->stop();
        QTRY_VERIFY(sigs->disconnected >= 1);
        QTimer *reconnect = workerTimer(worker.get(), "reconnectTimer");

        // A failed check while down keeps the plain 3 s interval.
        worker->checkHealth();
        QCOMPARE(reconnect->interval(), 3000);
        worker->resubscribe({QStringLiteral("CRUDEOIL-I")});
        QVERIFY(reconnect->isActive());
        QCOMPARE(reconnect->interval(), 3000);
        QCOMPARE(m_stream->unsubscribeCount(), 0);

        // Network back: attempts every 500 ms until connected.
        worker->onNetworkOnlineChanged(true);
        QCOMPARE(reconnect->interval(), 500);
        QVERIFY(reconnect->isActive());
        QVERIFY(m_stream->start(port));
        QTRY_COMPARE_WITH_TIMEOUT(sigs->acks.size(), 2, 2500);
        QCOMPARE(m_stream->subscribeLists().last(), QStringList{QStringLiteral("CRUDEOIL-I")});
        QVERIFY(!reconnect->isActive());
        // Going offline changes nothing; an online note while connected neither.
        worker->onNetworkOnlineChanged(false);
        worker->onNetworkOnlineChanged(true);
        QVERIFY(!reconnect->isActive());
    }

    void slowConnectIsNotCutShort()
    {
        // A link whose connect takes longer than the online hurry: the server
        // takes the connection and never answers the handshake.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> held;
        connect(&silent, &QTcpServer::newConnection, this, [&] { held << silent.nextPendingConnection(); });
        const QUrl url(QStringLiteral("ws://127.0.0.1:%1/").arg(silent.serverPort()));
        WebSocketWorker worker(url, {QStringLiteral("NIFTY-I")}, QStringLiteral("rtsocket.txt"), QStringLiteral("QM-SLOW"));
        worker.setTickBuffer(m_ticks.get());
        worker.start();
        QTRY_COMPARE(held.size(), 1);
        QTimer *reconnect = workerTimer(&worker, "reconnectTimer");
        QSignalSpy ticks(reconnect, &QTimer::timeout);

        // Network back: one hurried tick, then the usual interval, and the
        // attempt under way is left to finish.
        worker.onNetworkOnlineChanged(true);
        QCOMPARE(reconnect->interval(), 500);
        QTRY_COMPARE_WITH_TIMEOUT(ticks.count(), 1, 2000);
        QCOMPARE(reconnect->interval(), 3000);
        QVERIFY(reconnect->isActive());
        QTest::qWait(200);
        QCOMPARE(held.size(), 1);
        QCOMPARE(held.first()->state(), QAbstractSocket::ConnectedState);

        // Past its handshake time-out an attempt is given up for a new one.
        worker.setHandshakeTimeout(0);
        worker.reconnectTimerHit();
        QTRY_COMPARE(held.size(), 2);
        QTRY_COMPARE(held.first()->state(), QAbstractSocket::UnconnectedState);
        qDeleteAll(held);
    }

    void outageRunsFromLossToTheNextAck()
    {
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QSignalSpy outages(worker.get(), &WebSocketWorker::outageEnded);
        QTRY_COMPARE(sigs->acks.size(), 1);
        QCOMPARE(outages.count(), 0); // the first subscription ends no outage

        const QDateTime before = QDateTime::currentDateTime();
        const quint16 port = m_stream->port();
        m_stream->stop();
        QTRY_VERIFY(sigs->disconnected >= 1);
        QTest::qWait(400);
        worker->reconnectTimerHit(); // refused: still the same outage
        QVERIFY(m_stream->start(port));
        worker->reconnectTimerHit();
        QTRY_COMPARE(sigs->acks.size(), 2);
        QCOMPARE(outages.count(), 1);
        const qint64 duration = outages.first().at(0).toLongLong();
        QVERIFY2(duration >= 400 && duration < 3000, qPrintable(QString::number(duration)));
        const QDateTime lostAt = outages.first().at(1).toDateTime();
        QVERIFY(lostAt >= before.addMSecs(-1) && lostAt <= QDateTime::currentDateTime());

        // A resubscription while connected, and a stop and start, are no outages.
        worker->resubscribe({QStringLiteral("SBIN")});
        QTRY_COMPARE(sigs->acks.size(), 3);
        worker->stop();
        worker->start();
        QTRY_COMPARE(sigs->acks.size(), 4);
        QCOMPARE(outages.count(), 1);
    }

    void batchesReportRecordsAndKeptTicks()
    {
        m_stream->setAcknowledge(false);
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QSignalSpy counts(worker.get(), &WebSocketWorker::batchReceived);
        QTRY_COMPARE(m_stream->subscribeLists().size(), 1);
        m_stream->sendText(batchFrame(R"({"symbol":"EARLY","ltd":"20240131","ltt":"09:15:01","ltp":1})"));
        m_stream->sendText(AckSubscribe);
        m_stream->sendText(batchFrame(R"({"symbol":"A","ltd":"20240131","ltt":"09:15:01","ltp":1},)"
                                      R"({"symbol":"B","ltd":"20240131","ltt":"31:63:00","ltp":1},)"
                                      R"({"symbol":"C","ltd":"20240131","ltt":"09:15:01","ltp":0})"));
        m_stream->sendText(batchFrame(R"({"symbol":"D","ltp":2})"));
        QTRY_COMPARE(counts.count(), 2); // the frame before the ack is not counted
        QCOMPARE(counts.at(0), (QVariantList{3, 1}));
        QCOMPARE(counts.at(1), (QVariantList{1, 0}));
        QCOMPARE(sigs->batches, 1);
    }

    void healthLine()
    {
        LiveHealth health(10000);
        QCOMPARE(health.colour(0), LiveHealth::Colour::Red);
        QCOMPARE(health.text(0), QStringLiteral("Connecting \u00b7 0.0 ticks/s \u00b7 no tick yet \u00b7 0 reconnects"));
        health.connected();
        QCOMPARE(health.colour(0), LiveHealth::Colour::Amber); // connected, nothing yet

        // 30 ticks kept of 32 over 3 s, then 3 s of silence.
        health.batchReceived(1000, 10, 10);
        health.batchReceived(2000, 12, 10);
        health.batchReceived(3000, 10, 10);
        health.ticksImported(25);
        QCOMPARE(health.ticksPerSecond(3000), 3.0);
        QCOMPARE(health.lastTickAgeMs(6400), qint64(3400));
        QCOMPARE(health.colour(6400), LiveHealth::Colour::Green);
        QCOMPARE(health.text(6400), QStringLiteral("Connected \u00b7 3.0 ticks/s \u00b7 last tick 3.4 s ago \u00b7 0 reconnects"));
        // Batches leave the window as it moves on; a silent connection turns amber.
        QCOMPARE(health.ticksPerSecond(11500), 2.0);
        QCOMPARE(health.ticksPerSecond(13000), 0.0);
        QCOMPARE(health.colour(13000), LiveHealth::Colour::Amber);
        QCOMPARE(health.toolTip(),
                 QStringLiteral("Since start-up: 32 ticks received, 25 imported, 2 dropped by the record rules"));

        // Lost and back: red meanwhile, one reconnect, the outage's length and time.
        health.disconnected();
        QCOMPARE(health.colour(13000), LiveHealth::Colour::Red);
        health.connected();
        health.outageEnded(41400, QDateTime(QDate(2024, 1, 31), QTime(10, 42, 5)));
        health.batchReceived(55000, 4, 4);
        QCOMPARE(health.reconnects(), 1);
        QCOMPARE(health.colour(55000), LiveHealth::Colour::Green);
        QCOMPARE(health.text(55400), QStringLiteral("Connected \u00b7 0.4 ticks/s \u00b7 last tick 0.4 s ago \u00b7 1 reconnect"
                                                    " \u00b7 last outage 41 s at 10:42:05"));
        QVERIFY(LiveHealth::styleSheet(LiveHealth::Colour::Green) != LiveHealth::styleSheet(LiveHealth::Colour::Amber));
        QVERIFY(LiveHealth::styleSheet(LiveHealth::Colour::Amber) != LiveHealth::styleSheet(LiveHealth::Colour::Red));
    }

    // AmiBroker's trouble joins the line while ticks wait for it: amber, red once
    // it lasts, and the usual line back once the held ticks are in.
    void healthLineWithAmiBroker()
    {
        LiveHealth health(10000);
        health.connected();
        health.batchReceived(1000, 10, 10);
        const QString usual = QStringLiteral("Connected \u00b7 1.0 ticks/s \u00b7 last tick 0.5 s ago \u00b7 0 reconnects");
        QCOMPARE(health.text(1500), usual);

        health.amiBroker(LiveHealth::BrokerState::Busy, 1000, 1234);
        QCOMPARE(health.text(5200), QStringLiteral("Connected \u00b7 AmiBroker busy 4 s \u00b7 1,234 ticks held \u00b7 1.0 ticks/s"
                                                   " \u00b7 last tick 4.2 s ago \u00b7 0 reconnects"));
        QCOMPARE(health.colour(5200), LiveHealth::Colour::Amber);

        health.amiBroker(LiveHealth::BrokerState::NotRunning, 6000, 56789);
        QVERIFY(health.text(7000).startsWith(QStringLiteral("Connected \u00b7 AmiBroker not running \u00b7 56,789 ticks held \u00b7 ")));
        QCOMPARE(health.colour(6000 + LiveHealth::BrokerRedAfterMs - 1), LiveHealth::Colour::Amber);
        QCOMPARE(health.colour(6000 + LiveHealth::BrokerRedAfterMs), LiveHealth::Colour::Red);

        // Answering again, the held file not yet in: still said.
        health.amiBroker(LiveHealth::BrokerState::Answering, 40000, 56789);
        QVERIFY(health.text(40000).startsWith(QStringLiteral("Connected \u00b7 56,789 ticks held for AmiBroker \u00b7 ")));
        health.amiBroker(LiveHealth::BrokerState::Answering, 40000, 0);
        health.batchReceived(40000, 1, 1);
        QCOMPARE(health.text(40500), QStringLiteral("Connected \u00b7 0.1 ticks/s \u00b7 last tick 0.5 s ago \u00b7 0 reconnects"));
        QCOMPARE(health.colour(40500), LiveHealth::Colour::Green);
    }

    void outageSwitchOfTheStream()
    {
        int duration = 0;
        int after = 0;
        QVERIFY(FeedSimStream::parseOutage(QStringLiteral("40@60"), &duration, &after));
        QCOMPARE(duration, 40000);
        QCOMPARE(after, 60000);
        for (const char *bad : {"40", "40@", "@60", "0@60", "x@1", "40@-1", "1@2@3"})
            QVERIFY2(!FeedSimStream::parseOutage(QLatin1String(bad), &duration, &after), bad);

        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QTRY_COMPARE(sigs->acks.size(), 1);
        QSignalSpy down(m_stream.get(), &FeedSimStream::outageStarted);
        QSignalSpy back(m_stream.get(), &FeedSimStream::outageEnded);
        const quint16 port = m_stream->port();
        m_stream->scheduleOutage(0, 300);
        QTRY_COMPARE(down.count(), 1);
        QVERIFY(!m_stream->isListening());
        QTRY_VERIFY(sigs->disconnected >= 1);
        QTRY_COMPARE(back.count(), 1);
        QCOMPARE(m_stream->port(), port);
        worker->reconnectTimerHit();
        QTRY_COMPARE(sigs->acks.size(), 2);
    }

    void stopOnWorkerThread()
    {
        // As the main window does it: own thread, queued stop, quit, wait.
        auto *worker = new WebSocketWorker(m_stream->url(), {QStringLiteral("NIFTY-I")}, QStringLiteral("rtsocket.txt"),
                                           QStringLiteral("QM-THREAD"));
        worker->setTickBuffer(m_ticks.get());
        QPointer<WebSocketWorker> guard(worker);
        WorkerSignals sigs(worker);
        QThread thread;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(&thread, &QThread::started, worker, &WebSocketWorker::start);
        thread.start();
        QTRY_COMPARE(sigs.acks.size(), 1);
        m_stream->sendBatchNow();
        QTRY_COMPARE(sigs.batches, 1);
        QVERIFY(!m_ticks->latestBatch().isEmpty());

        QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
        thread.quit();
        QVERIFY(thread.wait(2000));
        QVERIFY(guard.isNull());
        QTRY_COMPARE(m_stream->clientCount(), 0);
        QCOMPARE(m_stream->receivedFrames().last(), QStringLiteral(R"({"type":"unsubscribe_all"})"));
        QCOMPARE(m_stream->unsubscribeCount(), 1);
        QCOMPARE(m_ticks->latestBatch(), QByteArray());
    }

    void nothingRestartsAfterStop()
    {
        WorkerSignals *sigs = nullptr;
        auto worker = connectedWorker({QStringLiteral("NIFTY-I")}, &sigs);
        QTRY_COMPARE(sigs->acks.size(), 1);
        QTimer *reconnect = workerTimer(worker.get(), "reconnectTimer");
        QTimer *health = workerTimer(worker.get(), "healthTimer");
        worker->stop();
        QTRY_COMPARE(m_stream->clientCount(), 0);
        QCOMPARE(m_stream->unsubscribeCount(), 1);

        worker->onDisconnected();
        worker->onErrorOccured(QAbstractSocket::RemoteHostClosedError);
        worker->checkHealth();
        worker->onNetworkOnlineChanged(true);
        worker->reconnectTimerHit();
        QVERIFY(!reconnect->isActive());
        QVERIFY(!health->isActive());
        QTest::qWait(100);
        QCOMPARE(m_stream->connectionsAccepted(), 1);

        // A stop while not connected sends nothing but still clears the batch.
        m_ticks->publish("x,Y,,,1,0,0,0\n");
        worker->stop();
        QCOMPARE(m_ticks->latestBatch(), QByteArray());
        QCOMPARE(m_stream->unsubscribeCount(), 1);

        // start() after stop() connects again with the same worker.
        worker->setMachineId(QStringLiteral("QM-NEW"));
        worker->start();
        QTRY_COMPARE(sigs->acks.size(), 2);
        QCOMPARE(m_stream->authIds().last(), QStringLiteral("QM-NEW"));
    }

    void streamDeliversEveryTickOnce()
    {
        // The stream at its own pace, into a worker on its own thread: the queued
        // lines are exactly the lines the server sent, each once.
        m_stream->setSeed(42);
        m_stream->setBatchSize(5);
        auto *worker = new WebSocketWorker(m_stream->url(), {QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I"), QStringLiteral("SBIN")},
                                           QStringLiteral("rtsocket.txt"), QStringLiteral("QM-FLOW"));
        worker->setTickBuffer(m_ticks.get());
        WorkerSignals sigs(worker);
        QThread thread;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(&thread, &QThread::started, worker, &WebSocketWorker::start);
        thread.start();
        QTRY_COMPARE(sigs.acks.size(), 1);
        m_stream->setRate(100);
        QTRY_VERIFY(m_stream->batchesSent() >= 20);
        m_stream->setStalled(true);
        const int sent = m_stream->batchesSent();
        QTRY_COMPARE(sigs.batches, sent);
        QCOMPARE(m_stream->clientCount(), 1);
        QCOMPARE(m_stream->recordsSent(), qint64(sent) * 5);

        const QByteArray received = m_ticks->takePending();
        QCOMPARE(received, m_stream->sentTickLines());
        QCOMPARE(received.count('\n'), sent * 5);
        const QHash<QString, qint64> perSymbol = m_stream->sentPerSymbol();
        QCOMPARE(perSymbol.value(QStringLiteral("NIFTY-I")) + perSymbol.value(QStringLiteral("BANKNIFTY-I"))
                     + perSymbol.value(QStringLiteral("SBIN")),
                 qint64(sent) * 5);
        for (const QByteArray &line : received.split('\n')) {
            if (line.isEmpty())
                continue;
            const QList<QByteArray> fields = line.split(',');
            QCOMPARE(fields.size(), 8);
            const double price = fields.at(4).toDouble();
            QVERIFY(price > 0);
            QCOMPARE(std::round(price * 100) / 100, price);
            if (fields.at(1).endsWith("-I"))
                QVERIFY2(price > 10000, line.constData());
        }

        QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
        thread.quit();
        QVERIFY(thread.wait(2000));
    }

    void fileReplacement()
    {
        const QString from = TestEnv::instance()->path(QStringLiteral("a.tmp"));
        const QString to = TestEnv::instance()->path(QStringLiteral("a.txt"));
        QVERIFY(writeFile(to, "old"));
        QVERIFY(writeFile(from, "new"));
        QVERIFY(Platform::replaceFile(from, to));
        QCOMPARE(readFile(to), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(from));
        // A missing source leaves the target alone.
        QVERIFY(!Platform::replaceFile(from, to));
        QCOMPARE(readFile(to), QByteArray("new"));
    }
};

QM_TEST_MAIN(tst_live)
#include "tst_live.moc"
