#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// File-system facts shared by document search, text extraction and the bridge's
// file tasks. Everything that touches the disk blocks: call it off the GUI thread.
namespace ContentFiles {

// Textual containment: `path` equals `folder` or begins with `folder` + "/".
// Case-sensitive; nothing is resolved.
bool isInside(const QString& path, const QString& folder);

// The resolved form of a path: symbolic links, "." and ".." resolved. Empty when
// the path does not exist (a dangling link included).
QString canonicalPath(const QString& path);

// The real path of `path`: its canonical path when it exists, otherwise the
// canonical path of its nearest existing ancestor followed by the rest of the
// path ("." and ".." cleaned first). Empty for a relative path of nothing.
QString resolvedPath(const QString& path);

// The canonical path of `path` when it lies inside `canonicalFolder` (itself a
// canonical path), nothing otherwise. A link that leads out of the folder, or
// nowhere, is outside.
std::optional<QString> canonicalInside(const QString& path, const QString& canonicalFolder);

// A path as shown to the backend: the home folder at its start written "~".
QString homeDisplay(const QString& path);

// Whether the path lies on a network file system (NFS, SMB/CIFS, AFS, sshfs and
// other FUSE network mounts). False when it cannot be told.
bool isOnRemoteVolume(const QString& path);
// The rule behind isOnRemoteVolume(): the statfs magic number of the file system
// and, for FUSE, the mount table's type ("fuse.sshfs").
bool isRemoteFileSystem(qint64 magic, const QByteArray& mountType);

// A French description of a failed file operation (an errno value) on `path`;
// `folder` words it for a directory.
QString fileErrorDescription(int errorNumber, const QString& path, bool folder = false);

// ISO 8601 internet date-time in UTC, suffix Z, no fraction: 2025-03-14T09:26:53Z.
QString isoDateText(const QDateTime& dateTime);

// Folding for name matching: case- and diacritic-insensitive, no locale.
QString fold(const QString& text);

// The text with every unpaired UTF-16 surrogate replaced by U+FFFD, so that it can
// always be written as UTF-8.
QString withoutLoneSurrogates(QString text);

} // namespace ContentFiles
