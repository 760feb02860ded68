#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// One document found by SpotlightSearch or FileManagerSearch.
struct SearchResult {
    QUrl url;                            // the file (or folder) found
    QString name;                        // its file name
    QString mime;                        // FileManagerSearch::mimeFromUTI() of its type
    qint64 size = 0;                     // bytes; 0 when unknown (and for folders)
    std::optional<QDateTime> modifiedAt; // last content change, when known
    bool isRemote = false;               // on a network file system
    QString parentDisplay;               // its parent folder's path, home shown as "~"
    QByteArray native;                   // its exact path (native bytes), when known

    // The path as the file system names it: `native`, or the URL's path.
    QByteArray nativePath() const { return native.isEmpty() ? QFile::encodeName(url.toLocalFile()) : native; }

    bool operator==(const SearchResult&) const = default;
};

// What a search over several folders gave: its results, and the folders it left
// out because their share did not answer (ShareWork), in the order given.
struct SearchOutcome {
    QList<SearchResult> results;
    QList<QUrl> notAnswering;
};
