#include <QtTest>
#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include "common/installfiles.h"
#include "platform/brokerautomation.h"
#include "platform/brokercall.h"
#include "standin/brokerstandin.h"
#include "platform/dispatchcall.h"
#include "platform/installroot.h"
#include "platform/serverhost.h"
#include "platform/processes.h"
#include "platform/programfile.h"
#include "testenv.h"

#include <memory>

namespace {

// The smallest image a Windows loader takes for an x86-64 program: headers and one
// section of 0x200 bytes at 0x200.
QByteArray minimalPe()
{
    QByteArray image(0x400, '\0');
    auto put = [&image](int offset, quint32 value, int width) {
        for (int i = 0; i < width; ++i)
            image[offset + i] = char((value >> (8 * i)) & 0xff);
    };
    image.replace(0, 2, "MZ");
    put(0x3c, 0x40, 4);               // e_lfanew
    image.replace(0x40, 4, QByteArray("PE\0\0", 4));
    put(0x44, 0x8664, 2);             // machine: x86-64
    put(0x46, 1, 2);                  // one section
    put(0x54, 0xf0, 2);               // optional header size
    put(0x56, 0x0022, 2);             // executable image, large-address aware
    put(0x58, 0x20b, 2);              // PE32+
    put(0x58 + 60, 0x200, 4);         // size of headers
    const int section = 0x58 + 0xf0;
    image.replace(section, 5, ".text");
    put(section + 16, 0x200, 4);      // raw size
    put(section + 20, 0x200, 4);      // raw offset
    return image;
}

} // namespace

class tst_platform : public QObject
{
    Q_OBJECT
private slots:
    void installPathsFollowTheRoot()
    {
        const QString root = TestEnv::instance()->root();
        QCOMPARE(Platform::installPathFwd(), root);
        QCOMPARE(Platform::installPathFwd(QStringLiteral("Amibroker/AF1000")), root + QStringLiteral("/Amibroker/AF1000"));
        QCOMPARE(Platform::installPathFwd(QStringLiteral("sqldrivers\\x86")), root + QStringLiteral("/sqldrivers/x86"));
    }
    void serverOverride()
    {
        qputenv("QUILLMARK_SERVER", "127.0.0.1:4567");
        QCOMPARE(Platform::apiBaseUrl(), QStringLiteral("http://127.0.0.1:4567/Datafeed_quillmark"));
        qunsetenv("QUILLMARK_SERVER");
        QVERIFY(Platform::apiBaseUrl().startsWith(QStringLiteral("http://")));
        QVERIFY(Platform::apiBaseUrl().endsWith(QStringLiteral("/Datafeed_quillmark")));
    }
    // How the Windows automation layer reads the call texts the program issues.
    void dispatchCallTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariant>("separate");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariantList>("arguments");
        QTest::newRow("import: number then two paths")
            << QStringLiteral("Import(0,C:\\Quillmark\\rtimport.txt,C:\\Quillmark\\dataFormatRT.dll)") << QVariant()
            << QStringLiteral("Import")
            << QVariantList{0, QStringLiteral("C:\\Quillmark\\rtimport.txt"), QStringLiteral("C:\\Quillmark\\dataFormatRT.dll")};
        QTest::newRow("no arguments") << QStringLiteral("RefreshAll()") << QVariant() << QStringLiteral("RefreshAll")
                                      << QVariantList{};
        QTest::newRow("types in brackets, value apart")
            << QStringLiteral("LoadDatabase(QString&)") << QVariant(QStringLiteral("C:\\Quillmark\\Amibroker\\AF1000"))
            << QStringLiteral("LoadDatabase") << QVariantList{QStringLiteral("C:\\Quillmark\\Amibroker\\AF1000")};
        QTest::newRow("integer value apart stays an integer")
            << QStringLiteral("ExecuteCommand(int)") << QVariant(33029) << QStringLiteral("ExecuteCommand")
            << QVariantList{33029};
        QTest::newRow("blanks around values, negative number, too big for 32 bits")
            << QStringLiteral(" Foo ( -7 , 4294967296 , a b )") << QVariant() << QStringLiteral("Foo")
            << QVariantList{-7, QStringLiteral("4294967296"), QStringLiteral("a b")};
        QTest::newRow("commas inside quotes and nested brackets do not split")
            << QStringLiteral("Run(\"a,b\",f(1,2),3)") << QVariant() << QStringLiteral("Run")
            << QVariantList{QStringLiteral("\"a,b\""), QStringLiteral("f(1,2)"), 3};
        QTest::newRow("empty value between commas") << QStringLiteral("F(1,,2)") << QVariant() << QStringLiteral("F")
                                                    << QVariantList{1, QString(), 2};
        QTest::newRow("bare name") << QStringLiteral("SaveDatabase") << QVariant() << QStringLiteral("SaveDatabase")
                                   << QVariantList{};
    }
    // A failed COM call's HRESULT decides what becomes of what it carried.
    void brokerCallOutcomes_data()
    {
        QTest::addColumn<quint32>("hresult");
        QTest::addColumn<int>("outcome");
        const int busy = int(Broker::Outcome::Busy);
        const int gone = int(Broker::Outcome::Gone);
        const int failed = int(Broker::Outcome::Failed);
        QTest::newRow("RPC_E_SERVERCALL_RETRYLATER") << quint32(0x8001010A) << busy;
        QTest::newRow("RPC_E_CALL_REJECTED") << quint32(0x80010001) << busy;
        QTest::newRow("RPC_S_SERVER_UNAVAILABLE") << quint32(0x800706BA) << gone;
        QTest::newRow("RPC_S_CALL_FAILED") << quint32(0x800706BE) << gone;
        QTest::newRow("RPC_E_DISCONNECTED") << quint32(0x80010108) << gone;
        QTest::newRow("RPC_E_SERVER_DIED") << quint32(0x80010007) << gone;
        QTest::newRow("RPC_E_SERVER_DIED_DNE") << quint32(0x80010012) << gone;
        QTest::newRow("CO_E_OBJNOTCONNECTED") << quint32(0x800401FD) << gone;
        QTest::newRow("DISP_E_EXCEPTION") << quint32(0x80020009) << failed;
        QTest::newRow("DISP_E_UNKNOWNNAME") << quint32(0x80020006) << failed;
        QTest::newRow("E_FAIL") << quint32(0x80004005) << failed;
    }

    void brokerCallOutcomes()
    {
        QFETCH(quint32, hresult);
        QFETCH(int, outcome);
        QCOMPARE(int(Broker::outcomeOfFailure(hresult)), outcome);
    }

    void standInControlWords_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("understood");
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("value");
        using B = BrokerStandIn::Behaviour;
        QTest::newRow("normal") << QByteArray("normal\n") << true << int(B::Normal) << 0;
        QTest::newRow("busy") << QByteArray("busy 5") << true << int(B::Busy) << 5;
        QTest::newRow("slow, case and blanks") << QByteArray("  SLOW   1500 \r\n") << true << int(B::Slow) << 1500;
        QTest::newRow("crash") << QByteArray("crash") << true << int(B::Crash) << 0;
        QTest::newRow("closed") << QByteArray("closed") << true << int(B::Closed) << 0;
        QTest::newRow("failing") << QByteArray("failing") << true << int(B::Failing) << 0;
        QTest::newRow("busy without seconds") << QByteArray("busy") << false << 0 << 0;
        QTest::newRow("busy with words") << QByteArray("busy five") << false << 0 << 0;
        QTest::newRow("negative") << QByteArray("slow -3") << false << 0 << 0;
        QTest::newRow("crash with a value") << QByteArray("crash 3") << false << 0 << 0;
        QTest::newRow("unknown") << QByteArray("sleepy") << false << 0 << 0;
        QTest::newRow("empty") << QByteArray() << false << 0 << 0;
    }

    void standInControlWords()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, understood);
        QFETCH(int, behaviour);
        QFETCH(int, value);
        BrokerStandIn::Command command;
        QCOMPARE(BrokerStandIn::parseCommand(text, &command), understood);
        if (understood) {
            QCOMPARE(int(command.behaviour), behaviour);
            QCOMPARE(command.value, value);
        }
    }

    // The stand-in as AmiBroker's process: a crash kills the objects made before it
    // (a new one works), a close keeps new ones from being made until normal.
    void standInCrashAndClose()
    {
        TestEnv::instance()->reset();
        BrokerStandIn before;
        QCOMPARE(before.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Done);
        BrokerStandIn::crash();
        QCOMPARE(before.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Gone);
        BrokerStandIn after;
        QCOMPARE(after.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Done);

        BrokerStandIn::setClosed(true);
        QCOMPARE(after.call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Gone);
        QVERIFY(!createBrokerObject());
        BrokerStandIn::setBusyFor(60000);
        BrokerStandIn::setClosed(false);
        std::unique_ptr<BrokerAutomation> again(createBrokerObject());
        QVERIFY(again);
        QCOMPARE(again->call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Busy);
        BrokerStandIn::behaveNormally();
        QCOMPARE(again->call(QStringLiteral("RefreshAll()")).outcome, Broker::Outcome::Done);
        // Refused and lost calls never reached AmiBroker's journal.
        QCOMPARE(readFile(TestEnv::instance()->path(QLatin1String(InstallFiles::AutomationJournal))),
                 QByteArray("RefreshAll()\nRefreshAll()\nRefreshAll()\n"));
    }

    void dispatchCallTexts()
    {
        QFETCH(QString, text);
        QFETCH(QVariant, separate);
        QFETCH(QString, name);
        QFETCH(QVariantList, arguments);
        const Platform::DispatchCall call = Platform::parseDispatchCall(text, separate);
        QVERIFY(call.valid);
        QCOMPARE(call.name, name);
        QCOMPARE(call.arguments.size(), arguments.size());
        for (int i = 0; i < arguments.size(); ++i) {
            QCOMPARE(call.arguments.at(i).userType(), arguments.at(i).userType());
            QCOMPARE(call.arguments.at(i), arguments.at(i));
        }
    }
    void dispatchCallTextsThatCannotBeRead()
    {
        for (const char *text : {"", "(1,2)", "Import(0,a", "Import(0,a))", "F(\"open)", "F(g(1)"})
            QVERIFY2(!Platform::parseDispatchCall(QString::fromLatin1(text)).valid, text);
    }
    void processListSeesThisTest()
    {
        QVERIFY(Platform::runningProcessNames().contains(QStringLiteral("tst_platform")));
    }

    void instanceScopeNarrowsTheCheck()
    {
        const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
        QVERIFY(!sleep.isEmpty());
        QProcessEnvironment outside = QProcessEnvironment::systemEnvironment();
        outside.remove(QLatin1String(Platform::InstanceScopeVariable));
        QProcess ours;
        QProcess theirs;
        theirs.setProcessEnvironment(outside);
        for (QProcess *p : {&ours, &theirs}) {
            p->start(sleep, {QStringLiteral("30")});
            QVERIFY(p->waitForStarted());
        }
        auto sleeps = [](const QString &list) { return list.split(QLatin1Char('\n')).count(QStringLiteral("sleep")); };
        // Only the process started in this test's scope counts; the whole list has both.
        QCOMPARE(sleeps(Platform::instanceCheckProcessList()), 1);
        QVERIFY(sleeps(Platform::processListText()) >= 2);
        for (QProcess *p : {&ours, &theirs}) {
            p->kill();
            p->waitForFinished();
        }
        QCOMPARE(sleeps(Platform::instanceCheckProcessList()), 0);
    }
    // A release's program file is judged by its headers: a Windows program must be a
    // whole PE image for x86-64.
    void windowsProgramImages_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("defect"); // empty: a whole program
        const QByteArray whole = minimalPe();
        auto patched = [&whole](int offset, quint16 value) {
            QByteArray image = whole;
            image[offset] = char(value & 0xff);
            image[offset + 1] = char(value >> 8);
            return image;
        };
        QTest::newRow("whole x86-64 program") << whole << QString();
        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("an error page") << QByteArray("<html>404</html>") << "not a Windows program";
        QTest::newRow("MZ and nothing else") << QByteArray("MZ") << "not a Windows program";
        QTest::newRow("header offset past the end") << patched(0x3c + 2, 0x7fff) << "not a Windows program";
        QTest::newRow("32-bit x86 program") << patched(0x44, 0x14c) << "not a Windows program for x86-64";
        QTest::newRow("PE32 optional header") << patched(0x58, 0x10b) << "not a Windows program for x86-64";
        QTest::newRow("a DLL") << patched(0x56, 0x2022) << "not a Windows program (a library or an object)";
        QTest::newRow("an object, not an image") << patched(0x56, 0x0020) << "not a Windows program (a library or an object)";
        QTest::newRow("no sections") << patched(0x46, 0) << "a Windows program without code";
        QTest::newRow("cut in its last section") << whole.left(0x300) << "cut short";
        QTest::newRow("cut before its last byte") << whole.left(whole.size() - 1) << "cut short";
        QTest::newRow("cut in the section table") << whole.left(0x160) << "cut short";
        // Not stripped: one symbol after the sections, then the names (a 4-byte size, 8 bytes of names).
        QByteArray symbols = patched(0x44 + 8, 0x400);
        symbols[0x44 + 12] = 1;
        symbols += QByteArray(18, '\0') + QByteArray("\x0c\0\0\0main\0tls\0", 12);
        QTest::newRow("with its symbols") << symbols << QString();
        QTest::newRow("cut in its symbol names") << symbols.left(symbols.size() - 1) << "cut short";
        QByteArray signedImage = patched(0x58 + 108, 16); // 16 data directories
        const int security = 0x58 + 112 + 8 * 4;
        signedImage[security + 1] = 0x04; // at 0x400
        signedImage[security + 4] = 0x10; // 16 bytes
        QTest::newRow("with its code signature") << signedImage + QByteArray(16, 'S') << QString();
        QTest::newRow("cut in its code signature") << signedImage + QByteArray(15, 'S') << "cut short";
    }

    void windowsProgramImages()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, defect);
        QCOMPARE(Platform::peX64Defect(image), defect);
    }

    // Elsewhere: an ELF program whose every loaded part and section table is there,
    // or a script that names its interpreter. This test's own file is the ELF program.
    void otherProgramImages_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("defect");
        const QByteArray elf = readFile(QCoreApplication::applicationFilePath());
        QByteArray object = elf;
        object[16] = 1; // relocatable (little-endian e_type)
        object[17] = 0;
        QTest::newRow("this program") << elf << QString();
        QTest::newRow("only the ELF header") << elf.left(64) << "cut short";
        QTest::newRow("half of it") << elf.left(elf.size() / 2) << "cut short";
        QTest::newRow("all but its last byte") << elf.left(elf.size() - 1) << "cut short";
        QTest::newRow("an object file") << object << "not an ELF program (an object or a core file)";
        QTest::newRow("shell script") << QByteArray("#!/bin/sh\nexec true\n") << QString();
        QTest::newRow("script without an interpreter") << QByteArray("#!\nexec true\n") << "a script without an interpreter";
        QTest::newRow("text") << QByteArray("exec true\n") << "neither an ELF program nor a script";
        QTest::newRow("a Windows program") << minimalPe() << "neither an ELF program nor a script";
        QTest::newRow("empty") << QByteArray() << "empty";
    }

    void otherProgramImages()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, defect);
        QVERIFY(image.isEmpty() || !image.startsWith("\x7f" "ELF") || image.size() >= 64);
        QCOMPARE(Platform::programContentDefect(image), defect);
        // The file seam says the same of the file.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(Platform::programFileName());
        QVERIFY(writeFile(path, image));
        QCOMPARE(Platform::programFileDefect(path), defect);
        QCOMPARE(Platform::programFileDefect(dir.filePath(QStringLiteral("absent"))), QStringLiteral("unreadable"));
    }
};

QM_TEST_MAIN(tst_platform)
#include "tst_platform.moc"
