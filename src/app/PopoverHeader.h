#pragma once

#include "bridge/BridgeService.h"
#include "session/APIService.h"
#include "session/Models.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// What the popover's header shows, without widgets.
namespace PopoverHeader {

// The bridge dot: a colour role ("blue", "red", "grey", "green"), its opacity and its help text.
struct BridgeDot {
    QString colour;
    double opacity = 1.0;
    QString help;
    bool operator==(const BridgeDot&) const = default;
};
BridgeDot bridgeDot(const BridgeService::Status& status);
// The task kind as the program names it: "search", "listFolders", … "llmInfer".
QString taskCaseName(BridgeTaskKind kind);
// "Nouvelle discussion" works only in the chat.
bool newDiscussionEnabled(Mode mode);

} // namespace PopoverHeader

// The recent discussions menu: loaded from the backend each time the header is
// shown, one load at a time; entries open the discussion in the web browser.
class RecentsMenuModel : public QObject {
    Q_OBJECT
public:
    struct Entry {
        enum class Kind { Placeholder, Discussion, Separator, OpenAll };
        Kind kind;
        QString label;
        qint64 id = 0;
    };

    explicit RecentsMenuModel(QObject* parent = nullptr);

    QCoro::Task<> load();
    bool loading() const { return loading_; }
    QList<APIService::RecentDiscussion> items() const { return items_; }
    QList<Entry> entries() const;
    // "<base>/discussions/<id>" and "<base>/discussions"; nothing when they do not parse.
    static std::optional<QUrl> discussionUrl(std::optional<qint64> id);
    void open(const Entry& entry) const;
    // Tests replace the web browser.
    void setUrlOpener(std::function<void(const QUrl&)> opener) { openUrl_ = std::move(opener); }

signals:
    void changed();

private:
    QList<APIService::RecentDiscussion> items_;
    bool loading_ = false;
    std::function<void(const QUrl&)> openUrl_;
};
