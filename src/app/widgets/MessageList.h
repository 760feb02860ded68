#pragma once

#include "session/Models.h"

#include <QAbstractListModel>
#include <QHash>
#include <QListView>
#include <QPersistentModelIndex>
#include <QStyledItemDelegate>
#include <QUuid>

#include <QFontMetricsF>

#include <deque>
#include <memory>
#include <optional>

class AppSession;
class QTextDocument;
class QThreadPool;
class QTimer;
class TypingIndicator;

// The conversation as rows for the list: one row per message, then, while a reply
// is pending, the typing indicator's row. Follows the session's messages: appended
// messages are inserted, a changed message is updated in place, anything else
// resets the rows.
class ChatMessagesModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { IdRole = Qt::UserRole + 1, IsUserRole, IsTypingRole };

    explicit ChatMessagesModel(AppSession& session, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    int messageCount() const { return static_cast<int>(messages_.size()); }
    const ChatMessage& message(int row) const { return messages_[row]; }
    bool showsTyping() const { return typing_; }
    int typingRow() const { return typing_ ? messageCount() : -1; }
    // The row of the message, or -1 (looked for from the end, where text grows).
    int rowOf(const QUuid& id) const;

signals:
    // The number of messages changed (not the content of one).
    void messageCountChanged(int previous, int current);

private:
    void sync();
    void syncTyping();

    AppSession& session_;
    QList<ChatMessage> messages_;
    bool typing_ = false;
};

// Paints the bubbles. Each message's text is laid out once per content and kept,
// so that a long conversation is measured once and scrolling only paints. A long
// text (more than kBackgroundLayoutChars) is converted and laid out off the GUI
// thread, on a small pool of the chat's own (Qt's global pool is the raster
// painter's: filled with layouts, it would hold every paint back): meanwhile its
// bubble shows the last layout it had (or its start), and the row is measured
// again when the layout arrives. The delegate keeps the waiting layouts in a
// queue of its own and hands the pool only as many as it has threads: a bubble
// painted while its layout waits goes to the front, so what is in sight is laid
// out first, and layouts a forgotten conversation or a closed screen no longer
// wants are dropped before they start. Painting draws only the lines in sight; a
// very long text (more than kMaxLabelChars) is laid out with a paragraph per line
// for that, and gets no selectable label.
class MessageDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr qsizetype kBackgroundLayoutChars = 1024;
    static constexpr qsizetype kMaxLabelChars = 16 * 1024;

    explicit MessageDelegate(QObject* parent = nullptr);
    ~MessageDelegate() override;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

    // The rectangle of the bubble and of its text inside a row.
    QRect bubbleRect(const QRect& row, const QModelIndex& index) const;
    QString htmlFor(const QModelIndex& index) const;
    // Messages laid out and kept; forgetLayouts() drops them all (a conversation
    // replaced whole).
    int cachedLayouts() const { return static_cast<int>(layouts_.size()); }
    void forgetLayouts();
    // Layouts being made off the GUI thread, waiting or running.
    int pendingLayouts() const { return static_cast<int>(pending_.size()); }
    // The pool those layouts run on, shared by every chat screen.
    static QThreadPool* layoutPool();
    // Layouts run on that pool since the program started, all chat screens together.
    static quint64 layoutsRun();
    // Whether the row's bubble is laid out with its message's whole current text.
    bool hasWholeLayout(const QModelIndex& index) const;
    // Whether the row's text is short enough for the selectable label.
    static bool canOpenLabel(const QModelIndex& index);
    // Lays the row out again after its text changed: whether the list must be
    // measured again, the row painted again, or nothing (its new layout is being
    // made off the GUI thread and the old one stays meanwhile).
    enum class Refresh { Unchanged, Repaint, Resized };
    Refresh refresh(const QModelIndex& index);

signals:
    // A layout made off the GUI thread is in: the message's row needs painting, and
    // the list measuring again when the size changed.
    void layoutArrived(const QUuid& id, bool resized);

private:
    struct Layout {
        QString content;
        QString html;
        std::shared_ptr<QTextDocument> document;
        QSize textSize;
    };
    struct Waiting {
        quint64 job = 0;
        ChatMessage::Role role = ChatMessage::Role::Assistant;
        QString content;
        bool urgent = false;
    };
    // The row's layout, made now when the text is short. A long text's layout is
    // asked of the pool (in front of the others when the row is in sight); meanwhile
    // the row has the last layout it had, or a size told from its text and, when
    // `face` (the bubble is painted), the start of its text.
    const Layout& layoutFor(const QModelIndex& index, bool inSight = false, bool face = false) const;
    QSize estimatedTextSize(const QString& content) const;
    void startBackgroundLayout(const QUuid& id, ChatMessage::Role role, const QString& content,
                               bool inSight) const;
    // Hands the pool the next waiting layouts, bubbles in sight first.
    void feedPool() const;

    mutable QHash<QUuid, Layout> layouts_;
    mutable std::optional<QFontMetricsF> metrics_; // of the bubbles' font, for sizes told from the text
    mutable QHash<QUuid, quint64> pending_;        // id → the job's number, waiting or running
    mutable QHash<QUuid, Waiting> waiting_;        // not yet handed to the pool
    mutable std::deque<QUuid> queue_;              // in the order asked (stale ids are skipped)
    mutable std::deque<QUuid> urgent_;             // painted while waiting
    mutable int running_ = 0;
    mutable quint64 jobs_ = 0;
    // Layouts handed to the pool skip their work once this is gone (the
    // conversation forgotten, or the delegate destroyed).
    std::shared_ptr<const bool> wanted_ = std::make_shared<const bool>(true);
};

// The scrolling list of the conversation. The bubble under the mouse gets a real
// label laid over it, for text selection and link clicks; the typing indicator
// lives in its own row.
class ChatMessageList : public QListView {
    Q_OBJECT
public:
    static constexpr int kRemeasureMs = 100;

    ChatMessageList(ChatMessagesModel* model, QWidget* parent = nullptr);

    ChatMessagesModel* messages() const { return model_; }
    MessageDelegate* delegate() const { return delegate_; }
    // The indicator in the typing row, or nothing.
    TypingIndicator* typingIndicator() const;
    // Lays the selectable label over a message's bubble (as the mouse does).
    QWidget* openBubble(int row);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void updateGeometries() override;
    // A message whose text changed is laid out again; the list is measured again
    // only when its size changed (a streamed piece mostly fills the last line), and
    // the row is painted only when what it shows changed.
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;

private:
    void placeTyping();

    ChatMessagesModel* model_;
    MessageDelegate* delegate_;
    QPersistentModelIndex open_;
    // Layouts arriving from the pool measure the list again at most every
    // kRemeasureMs: each measure goes over every row.
    QTimer* remeasure_ = nullptr;
    bool remeasureOwed_ = false;
};
