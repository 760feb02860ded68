#pragma once

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// What a metadata query asks for: items whose file name, title or text content
// holds a token, compared without regard to case ("*" stands for any run of
// characters and "?" for one character). Every token of a group must match; any
// group may. Without a group nothing matches.
struct MetadataPredicate {
    QList<QStringList> anyOf;

    bool operator==(const MetadataPredicate&) const = default;
};

// One item found by the index, as the index knows it.
struct MetadataItem {
    QString path;                        // empty: the item has no local path
    std::optional<QString> name;         // its file name
    std::optional<qint64> size;          // bytes
    std::optional<QDateTime> modifiedAt; // last content change
};

struct MetadataQuery {
    MetadataPredicate predicate;
    QStringList folders; // the scopes: items below any of these folders
    qint64 limit = 0;    // the most items wanted
};

// The items of one running query, shared by the thread that asks the index and
// the runner that waits for them. The runner ends the gathering when the index is
// done or when the time-out comes, whichever is first; what was gathered by then
// is the answer.
class MetadataGathering {
public:
    explicit MetadataGathering(qint64 limit)
        : limit_(limit) {}

    // Hands one item over. False once the gathering has ended or holds `limit`
    // items: the index should stop.
    bool add(MetadataItem item);
    bool isEnded() const;
    // Called once when the gathering ends before the index is done (at once if it
    // already has); an index cancels its work there. Replacing it with an empty
    // function unregisters it.
    void setOnEnd(std::function<void()> onEnd);
    // Ends the gathering and returns the items gathered, in the index's order.
    QList<MetadataItem> end();

private:
    mutable QMutex mutex_;
    qint64 limit_;
    QList<MetadataItem> items_;
    bool ended_ = false;
    std::function<void()> onEnd_;
};

// A content index of the user's files (Tracker on a desktop session).
class MetadataIndex {
public:
    virtual ~MetadataIndex();

    // Whether the index answers on this machine and covers every one of these
    // folders. Blocks: call it off the GUI thread.
    virtual bool isAvailable(const QStringList& folders) = 0;
    // Runs one query: the matching items below the query's folders, newest first,
    // handed to the gathering one by one until the index is done, the gathering
    // refuses more, or it ends. Blocks: runs on a worker thread.
    virtual void gather(const MetadataQuery& query, MetadataGathering& gathering) = 0;

    // The process-wide index (Tracker unless replaced); replaceable in tests.
    static std::shared_ptr<MetadataIndex> shared();
    static void setShared(std::shared_ptr<MetadataIndex> index);
};
