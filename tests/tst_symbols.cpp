#include <QtTest>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>
#include <QTableView>

#include "common/settingskeys.h"
#include "crypto/aescipher.h"
#include "modalhelper.h"
#include "symbols/symbolmappingdialog.h"
#include "symbols/wishlist.h"
#include "testenv.h"

namespace {

QString key(const char *k)
{
    return QLatin1String(k);
}

QStringList storedEntries()
{
    return QSettings().value(key(Keys::SymbolMappingEntries)).toStringList();
}

void storeEntries(const QStringList &entries)
{
    QSettings().setValue(key(Keys::SymbolMappingEntries), entries);
}

void appendRow(SymbolMappingDialog &dlg, const QString &oldName, const QString &newName)
{
    dlg.model()->appendRow({new QStandardItem(oldName), new QStandardItem(newName)});
}

QList<QStringList> rowsOf(SymbolMappingDialog &dlg)
{
    QList<QStringList> rows;
    for (int r = 0; r < dlg.model()->rowCount(); ++r)
        rows << QStringList{dlg.model()->index(r, 0).data().toString(), dlg.model()->index(r, 1).data().toString()};
    return rows;
}

QPushButton *button(SymbolMappingDialog &dlg, const QString &text)
{
    for (QPushButton *b : dlg.findChildren<QPushButton *>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

// Enciphers a plaintext the way wish-list files are, bypassing the codec's own text building.
QByteArray encipher(const QByteArray &plain)
{
    return AesCipher(2, 1, 2).encrypt(plain, wishListKey(), wishListIv());
}

} // namespace

using StringMap = QMap<QString, QString>;

class tst_symbols : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        TestEnv::instance()->reset();
    }

    // ---- Mapping dialog ----

    void rowsAreStoredCleaned()
    {
        SymbolMappingDialog dlg;
        QCOMPARE(dlg.model()->rowCount(), 0);
        appendRow(dlg, QStringLiteral("  NIFTY-I "), QStringLiteral("NIFTY24"));
        appendRow(dlg, QStringLiteral("X"), QStringLiteral("A,B"));
        appendRow(dlg, QStringLiteral("OLD"), QString());
        appendRow(dlg, QStringLiteral("  "), QString());
        appendRow(dlg, QString(), QStringLiteral(" NEW "));
        dlg.model()->appendRow(new QStandardItem(QStringLiteral("SOLO"))); // no second cell at all
        QVERIFY(dlg.saveToRegistry());

        QCOMPARE(storedEntries(), (QStringList{"NIFTY-I,NIFTY24", "X,A B", "OLD,", ",NEW", "SOLO,"}));

        // One-sided rows come back, but take no part in either map.
        SymbolMappingDialog reopened;
        QCOMPARE(rowsOf(reopened), (QList<QStringList>{{"NIFTY-I", "NIFTY24"}, {"X", "A B"}, {"OLD", ""},
                                                      {"", "NEW"}, {"SOLO", ""}}));
        QCOMPARE(reopened.oldToNewMap(), (StringMap{{"NIFTY-I", "NIFTY24"}, {"X", "A B"}}));
        QCOMPARE(reopened.newToOldMap(), (StringMap{{"NIFTY24", "NIFTY-I"}, {"A B", "X"}}));
    }

    void laterRowWinsInTheMaps()
    {
        SymbolMappingDialog dlg;
        appendRow(dlg, QStringLiteral("RELIANCE"), QStringLiteral("REL1"));
        appendRow(dlg, QStringLiteral("TCS"), QStringLiteral("REL1"));
        appendRow(dlg, QStringLiteral("RELIANCE"), QStringLiteral("REL2"));
        QCOMPARE(dlg.oldToNewMap(), (StringMap{{"RELIANCE", "REL2"}, {"TCS", "REL1"}}));
        QCOMPARE(dlg.newToOldMap(), (StringMap{{"REL1", "TCS"}, {"REL2", "RELIANCE"}}));
        QVERIFY(dlg.saveToRegistry());
        QCOMPARE(storedEntries(), (QStringList{"RELIANCE,REL1", "TCS,REL1", "RELIANCE,REL2"}));
    }

    void storedEntriesAreParsed_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::newRow("extra parts ignored") << QStringList{"X,Y,Z"} << QList<QStringList>{{"X", "Y"}};
        QTest::newRow("blank entries skipped") << QStringList{"  ", "", " A , B "} << QList<QStringList>{{"A", "B"}};
        QTest::newRow("no comma") << QStringList{"LONE"} << QList<QStringList>{{"LONE", ""}};
        QTest::newRow("order kept") << QStringList{"B,2", "A,1"} << QList<QStringList>{{"B", "2"}, {"A", "1"}};
        QTest::newRow("missing key") << QStringList{} << QList<QStringList>{};
    }
    void storedEntriesAreParsed()
    {
        QFETCH(QStringList, stored);
        QFETCH(QList<QStringList>, rows);
        if (!stored.isEmpty())
            storeEntries(stored);
        SymbolMappingDialog dlg;
        QCOMPARE(rowsOf(dlg), rows);
    }

    void loadReplacesTheRows()
    {
        storeEntries({"A,1"});
        SymbolMappingDialog dlg;
        appendRow(dlg, QStringLiteral("B"), QStringLiteral("2"));
        QVERIFY(dlg.loadFromRegistry());
        QCOMPARE(rowsOf(dlg), (QList<QStringList>{{"A", "1"}}));
        storeEntries({"C,3"});
        QVERIFY(dlg.loadFromFile(QStringLiteral("/nonexistent/ignored")));
        QCOMPARE(rowsOf(dlg), (QList<QStringList>{{"C", "3"}}));
    }

    void closingWithoutSavingStoresNothing()
    {
        storeEntries({"KEEP,ME"});
        SymbolMappingDialog dlg;
        dlg.show();
        button(dlg, QStringLiteral("Add"))->click();
        QCOMPARE(dlg.model()->rowCount(), 2);
        QCOMPARE(dlg.tableView()->currentIndex(), dlg.model()->index(1, 0));
        // The new old-symbol cell is open for typing.
        auto *editor = dlg.tableView()->viewport()->findChild<QLineEdit *>();
        QVERIFY(editor);
        QVERIFY(editor->isVisible());
        dlg.model()->setData(dlg.model()->index(1, 0), QStringLiteral("NEWOLD"));
        dlg.model()->setData(dlg.model()->index(0, 1), QStringLiteral("CHANGED"));
        QVERIFY(dlg.close());
        QCOMPARE(storedEntries(), QStringList{"KEEP,ME"});
    }

    void saveButtonsWriteTheStore()
    {
        SymbolMappingDialog dlg;
        dlg.show();
        appendRow(dlg, QStringLiteral("A"), QStringLiteral("B"));

        ModalAcceptor acceptor;
        button(dlg, QStringLiteral("Save"))->click();
        QCOMPARE(acceptor.seen(), QStringList{"Save mapping|Mappings saved."});
        QCOMPARE(storedEntries(), QStringList{"A,B"});
        QVERIFY(dlg.isVisible());

        appendRow(dlg, QStringLiteral("C"), QStringLiteral("D"));
        QSignalSpy changed(&dlg, &SymbolMappingDialog::mappingsChanged);
        button(dlg, QStringLiteral("Save && Close"))->click();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(!dlg.isVisible());
        QCOMPARE(storedEntries(), (QStringList{"A,B", "C,D"}));
        QCOMPARE(acceptor.count(), 1);
    }

    void removeDropsTheSelectedRow()
    {
        storeEntries({"A,1", "B,2", "C,3"});
        SymbolMappingDialog dlg;
        dlg.show();
        QPushButton *remove = button(dlg, QStringLiteral("Remove"));
        remove->click(); // nothing selected: nothing happens
        QCOMPARE(dlg.model()->rowCount(), 3);
        dlg.tableView()->selectRow(1);
        remove->click();
        QCOMPARE(rowsOf(dlg), (QList<QStringList>{{"A", "1"}, {"C", "3"}}));
        // Only the save buttons touch the store.
        QCOMPARE(storedEntries(), (QStringList{"A,1", "B,2", "C,3"}));
    }

    void oldColumnWidthRule()
    {
        SymbolMappingDialog dlg;
        dlg.resize(600, 400);
        dlg.show();
        QCoreApplication::processEvents(); // the deferred adjustment after the resize
        QTableView *view = dlg.tableView();
        // No rows: the floor of 150, under a cap of half the dialog (300).
        QCOMPARE(view->columnWidth(0), 150);
        // Once fitted, the new-symbol column no longer stretches.
        QVERIFY(!view->horizontalHeader()->stretchLastSection());

        const QFontMetrics metrics(view->font());
        QString medium = QStringLiteral("MEDIUMNAME");
        while (metrics.horizontalAdvance(medium) + 24 <= 150)
            medium += QLatin1Char('M');
        appendRow(dlg, medium, QStringLiteral("x")); // rows-inserted adjusts at once
        QCOMPARE(view->columnWidth(0), metrics.horizontalAdvance(medium) + 24);
        QVERIFY(view->columnWidth(0) < 300);

        const QString wide(80, QLatin1Char('W'));
        appendRow(dlg, wide, QStringLiteral("y"));
        QCOMPARE(view->columnWidth(0), 300);

        // A wider dialog raises the cap once the resize has taken effect.
        dlg.resize(1000, 400);
        QCOMPARE(view->columnWidth(0), 300); // deferred until the new size is in effect
        QTRY_COMPARE_WITH_TIMEOUT(view->columnWidth(0), std::min(500, metrics.horizontalAdvance(wide) + 24), 1000);

        // Removing the wide row shrinks the column again.
        dlg.model()->removeRow(1);
        QCOMPARE(view->columnWidth(0), metrics.horizontalAdvance(medium) + 24);
    }

    void oldColumnCapFollowsTheParent_data()
    {
        QTest::addColumn<int>("parentWidth");
        QTest::addColumn<int>("expected");
        QTest::newRow("half the parent") << 400 << 200;
        QTest::newRow("never below 100") << 150 << 100;
        QTest::newRow("cap above the floor") << 1000 << 150; // short names stay at 150
    }
    void oldColumnCapFollowsTheParent()
    {
        QFETCH(int, parentWidth);
        QFETCH(int, expected);
        QWidget window;
        window.resize(parentWidth, 300);
        storeEntries({QString(expected == 150 ? 1 : 80, QLatin1Char('W')) + QStringLiteral(",N")});
        SymbolMappingDialog dlg(&window);
        dlg.resize(1200, 400); // the dialog's own width does not count when it has a parent
        QCoreApplication::processEvents();
        QCOMPARE(dlg.tableView()->columnWidth(0), expected);
    }

    // ---- Wish list files ----

    void wishListRoundTrip()
    {
        const QStringList symbols{"NIFTY-I", "ICICIBANK"};
        const QStringList exchanges{"FUTURE", "CASH"};
        const QByteArray file = encodeWishList(symbols, exchanges);
        QCOMPARE(file.size(), 32);
        // Reference ciphertext made with OpenSSL (aes-256-cbc, key and IV from the two phrases,
        // the text ISO-padded by hand), so the key, vector, mode and padding are all pinned.
        QCOMPARE(file.toHex(), QByteArray("4b08548a75702fe2e893e2d202534dbc6ce2c159495b34d2c6a4f6664d241261"));
        QCOMPARE(AesCipher(2, 1, 2).decrypt(file, wishListKey(), wishListIv()),
                 QByteArray("NIFTY-I,ICICIBANK#FUTURE,CASH\x80\x00\x00", 32));

        const WishList back = decodeWishList(file);
        QCOMPARE(back.symbols, symbols);
        QCOMPARE(back.exchanges, exchanges);
    }

    void wishListSizes_data()
    {
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QStringList>("exchanges");
        QTest::addColumn<int>("fileSize");
        QTest::newRow("16 bytes, no padding block") << QStringList{"ABCDEFGH"} << QStringList{"CASHXYZ"} << 16;
        QTest::newRow("17 bytes") << QStringList{"ABCDEFGHI"} << QStringList{"CASHXYZ"} << 32;
        QTest::newRow("15 bytes") << QStringList{"ABCDEFG"} << QStringList{"CASHXYZ"} << 16;
        QTest::newRow("unicode") << QStringList{"ÄBC", "x"} << QStringList{"FUTURE", "CASH"} << 32;
    }
    void wishListSizes()
    {
        QFETCH(QStringList, symbols);
        QFETCH(QStringList, exchanges);
        QFETCH(int, fileSize);
        const QByteArray file = encodeWishList(symbols, exchanges);
        QCOMPARE(file.size(), fileSize);
        const WishList back = decodeWishList(file);
        QCOMPARE(back.symbols, symbols);
        QCOMPARE(back.exchanges, exchanges);
    }

    void emptySelectionIsJustTheSeparator()
    {
        const QByteArray file = encodeWishList({}, {});
        QCOMPARE(file.size(), 16);
        QCOMPARE(AesCipher(2, 1, 2).stripPadding(AesCipher(2, 1, 2).decrypt(file, wishListKey(), wishListIv())),
                 QByteArray("#"));
        const WishList back = decodeWishList(file);
        QCOMPARE(back.symbols, QStringList{QString()});
        QCOMPARE(back.exchanges, QStringList{QString()});
    }

    void oddFilesDecodeLeniently_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QStringList>("exchanges");
        QTest::newRow("not a multiple of 16") << QByteArray(17, 'x') << QStringList{""} << QStringList{""};
        QTest::newRow("empty file") << QByteArray() << QStringList{""} << QStringList{""};
        QTest::newRow("no separator") << encipher("A,B") << QStringList{"A", "B"} << QStringList{"A", "B"};
        QTest::newRow("middle parts ignored") << encipher("S1#MID#E1,E2") << QStringList{"S1"} << QStringList{"E1", "E2"};
        QTest::newRow("empty parts kept") << encipher("A,,B#X,,") << QStringList{"A", "", "B"} << QStringList{"X", "", ""};
        QTest::newRow("cut at first zero byte") << encipher(QByteArray("A#B\0C#D", 7)) << QStringList{"A"} << QStringList{"B"};
        QTest::newRow("zero padding without marker") << encipher(QByteArray("A#B\0\0\0\0\0\0\0\0\0\0\0\0\0", 16))
                                                     << QStringList{"A"} << QStringList{"B"};
    }
    void oddFilesDecodeLeniently()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, symbols);
        QFETCH(QStringList, exchanges);
        const WishList list = decodeWishList(file);
        QCOMPARE(list.symbols, symbols);
        QCOMPARE(list.exchanges, exchanges);
    }

    void separatorsInNamesAreNotEscaped()
    {
        const WishList back = decodeWishList(encodeWishList({"A,B"}, {"CA#SH"}));
        QCOMPARE(back.symbols, (QStringList{"A", "B"}));
        QCOMPARE(back.exchanges, QStringList{"SH"});
    }
};

QM_TEST_MAIN(tst_symbols)
#include "tst_symbols.moc"
