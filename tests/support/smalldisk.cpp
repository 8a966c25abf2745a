#include "smalldisk.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {
const char FillerName[] = ".smalldisk-filler";
}

SmallDisk::SmallDisk(const QString &folder, qint64 bytes)
    : m_folder(folder)
{
    QDir().mkpath(folder);
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                          QStringLiteral("size=%1k").arg((bytes + 1023) / 1024),
                                          QStringLiteral("quillmark-test"), folder});
    m_mounted = mount.waitForFinished(10000) && mount.exitStatus() == QProcess::NormalExit && mount.exitCode() == 0;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), m_folder});
}

bool SmallDisk::fill(int freePages)
{
    QFile filler(m_folder + QLatin1Char('/') + QLatin1String(FillerName));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray block(64 * 1024, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    // Smaller pieces into what the big ones left.
    const QByteArray byte(1, 'f');
    while (filler.write(byte) == 1 && filler.flush()) {
    }
    filler.close();
    const qint64 used = QFile(filler.fileName()).size();
    return QFile::resize(filler.fileName(), qMax<qint64>(0, used / PageBytes * PageBytes - freePages * PageBytes));
}

bool SmallDisk::makeRoom()
{
    return QFile::remove(m_folder + QLatin1Char('/') + QLatin1String(FillerName));
}
