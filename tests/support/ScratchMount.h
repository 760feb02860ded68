#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

#include <sys/mount.h>

// A small file system of its own (tmpfs of a given size) mounted on a temporary
// folder, to fill up or make read-only: how a full disk or a read-only folder is
// met for real. Mounting needs the right to (root in the test machines); ok()
// tells whether it was mounted, why() why not.
class ScratchMount {
public:
    explicit ScratchMount(qint64 bytes) {
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
        if (::mount("tmpfs", QFile::encodeName(dir_.path()).constData(), "tmpfs", 0, options.constData()) ==
            0)
            mounted_ = true;
        else
            why_ = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~ScratchMount() {
        if (mounted_)
            ::umount2(QFile::encodeName(dir_.path()).constData(), MNT_DETACH);
    }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool ok() const { return mounted_; }
    QString why() const { return why_; }
    QString path() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }

    // Fills what is left of the file system with a file of its own.
    void fill() {
        QFile filler(dir_.filePath(QStringLiteral(".filler")));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }
    // Gives the space taken by fill() back.
    void makeRoom() { QFile::remove(dir_.filePath(QStringLiteral(".filler"))); }
    // Makes the file system read-only, or writable again.
    bool setReadOnly(bool readOnly) {
        unsigned long flags = MS_REMOUNT;
        if (readOnly)
            flags |= MS_RDONLY;
        return ::mount("tmpfs", QFile::encodeName(dir_.path()).constData(), "tmpfs", flags, nullptr) == 0;
    }

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
    QString why_;
};
