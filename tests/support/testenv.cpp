#include "testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSettings>
#include <QUuid>

#include "standin/brokerstandin.h"
#include "platform/processes.h"

namespace {
TestEnv *g_instance = nullptr;
}

TestEnv::TestEnv()
{
    g_instance = this;
    reset();
}

TestEnv::~TestEnv()
{
    delete m_root;
    delete m_settings;
    if (g_instance == this)
        g_instance = nullptr;
}

void TestEnv::reset()
{
    delete m_root;
    delete m_settings;
    m_root = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/qmroot-XXXXXX"));
    m_settings = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/qmsettings-XXXXXX"));
    qputenv("QUILLMARK_ROOT", m_root->path().toUtf8());
    qputenv("XDG_CONFIG_HOME", m_settings->path().toUtf8());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings->path());
    // AmiBroker's stand-in starts every test answering, as a fresh AmiBroker does.
    BrokerStandIn::install();
    BrokerStandIn::behaveNormally();
}

QString TestEnv::root() const
{
    return m_root->path();
}

QString TestEnv::path(const QString &relative) const
{
    return m_root->path() + QLatin1Char('/') + relative;
}

QString TestEnv::settingsDir() const
{
    return m_settings->path();
}

QStringList TestEnv::processEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILLMARK_ROOT"), root());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), settingsDir());
    return env.toStringList();
}

TestEnv *TestEnv::instance()
{
    return g_instance;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void prepareTestApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmark Company"));
    QCoreApplication::setApplicationName(QStringLiteral("Quillmark"));
    QCoreApplication::setApplicationVersion(QStringLiteral("7.26"));
    static TestEnv env;
    Q_UNUSED(env)
    // The program copies a test starts count each other for the single-instance
    // check; a copy running beside the tests counts for none of them.
    qputenv(Platform::InstanceScopeVariable, QUuid::createUuid().toByteArray(QUuid::WithoutBraces));
}
