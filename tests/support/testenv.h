#pragma once

#include <QString>
#include <QTemporaryDir>

// Gives a test its own install root and settings store. Create one before the
// code under test runs (QM_TEST_MAIN does it for the whole executable); a test
// that wants a fresh state calls reset().
class TestEnv
{
public:
    TestEnv();
    ~TestEnv();

    // A new empty install root and settings store.
    void reset();

    QString root() const;               // the install root (forward slashes)
    QString path(const QString &relative) const;
    QString settingsDir() const;

    // Environment for a child process of ours: the same root and settings store.
    QStringList processEnvironment() const;

    static TestEnv *instance();

private:
    QTemporaryDir *m_root = nullptr;
    QTemporaryDir *m_settings = nullptr;
};

// Writes a file, creating its folder; returns false when it cannot.
bool writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

// Sets the application identity the settings store is keyed by, and isolates
// the install root and settings store before QApplication exists.
void prepareTestApplication();

#define QM_TEST_MAIN(TestObject)                                                                   \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") \
                                                                        : qgetenv("QT_QPA_PLATFORM")); \
        QApplication app(argc, argv);                                                              \
        prepareTestApplication();                                                                  \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
