#pragma once

#include <QString>

// A small disk of a test's own (tmpfs) mounted on a folder, to see what a full disk
// does. Mounting needs root; where it cannot be mounted, isMounted() is false and
// the test skips.
class SmallDisk
{
public:
    static constexpr qint64 PageBytes = 4096;

    SmallDisk(const QString &folder, qint64 bytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool isMounted() const { return m_mounted; }
    QString folder() const { return m_folder; }
    // Takes the disk's space but freePages pages (tmpfs hands out whole pages).
    bool fill(int freePages = 0);
    // Gives back what fill took.
    bool makeRoom();

private:
    QString m_folder;
    bool m_mounted = false;
};
