#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// Real files for document tests.
namespace DocumentFiles {

// Writes the bytes to the path (folders made as needed) and returns the path.
QString write(const QString& path, const QByteArray& bytes);
// Sets the file's modification time.
void setModified(const QString& path, const QDateTime& when);
// A PDF with one page per text, each page holding its text in a real font.
QByteArray pdf(const QStringList& pageTexts);

} // namespace DocumentFiles
