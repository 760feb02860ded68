#include "support/DocumentFiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QPdfWriter>

#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>

namespace DocumentFiles {

QString write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
    return path;
}

void setModified(const QString& path, const QDateTime& when) {
    const qint64 ms = when.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = ms / 1000;
    times[0].tv_nsec = (ms % 1000) * 1000000;
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot date " + path.toStdString());
}

QByteArray pdf(const QStringList& pageTexts) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        QPainter painter(&writer);
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 12));
        for (int i = 0; i < pageTexts.size(); ++i) {
            if (i > 0)
                writer.newPage();
            const QRectF area(300, 300, writer.width() - 600, writer.height() - 600);
            painter.drawText(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, pageTexts.at(i));
        }
    }
    return buffer.data();
}

} // namespace DocumentFiles
