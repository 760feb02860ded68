#include "app/widgets/MessageList.h"

#include "app/widgets/MessageBubble.h"
#include "platform/Characters.h"
#include "platform/WorkPools.h"
#include "session/AppSession.h"

#include <QAbstractTextDocumentLayout>
#include <QFuture>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextDocument>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {
constexpr int kRowSpacing = 10;
} // namespace

// ---- Model ---------------------------------------------------------------------

ChatMessagesModel::ChatMessagesModel(AppSession& session, QObject* parent)
    : QAbstractListModel(parent)
    , session_(session)
    , messages_(session.messages())
    , typing_(session.isStreaming()) {
    connect(&session_, &AppSession::messagesChanged, this, &ChatMessagesModel::sync);
    connect(&session_, &AppSession::isStreamingChanged, this, &ChatMessagesModel::syncTyping);
}

int ChatMessagesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : messageCount() + (typing_ ? 1 : 0);
}

QVariant ChatMessagesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const bool typingRow = index.row() == messageCount();
    switch (role) {
    case IsTypingRole:
        return typingRow;
    case Qt::DisplayRole:
        return typingRow ? QString() : messages_[index.row()].content;
    case IdRole:
        return typingRow ? QVariant(QStringLiteral("typing")) : QVariant(messages_[index.row()].id);
    case IsUserRole:
        return !typingRow && messages_[index.row()].role == ChatMessage::Role::User;
    default:
        return {};
    }
}

void ChatMessagesModel::sync() {
    const QList<ChatMessage>& now = session_.messages();
    const int previous = messageCount();
    int kept = 0;
    while (kept < messages_.size() && kept < now.size() && messages_[kept].id == now[kept].id)
        ++kept;
    if (kept < messages_.size()) {
        // Something other than an append or an edit: start over.
        beginResetModel();
        messages_ = now;
        endResetModel();
    } else {
        for (int row = 0; row < kept; ++row) {
            const QString& before = messages_[row].content;
            const QString& after = now[row].content;
            if (!(before.size() == after.size() && before.constData() == after.constData()) &&
                before != after) {
                messages_[row] = now[row];
                emit dataChanged(index(row), index(row));
            }
        }
        if (now.size() > kept) {
            beginInsertRows(QModelIndex(), kept, static_cast<int>(now.size()) - 1);
            messages_ = now;
            endInsertRows();
        }
    }
    if (previous != messageCount())
        emit messageCountChanged(previous, messageCount());
}

int ChatMessagesModel::rowOf(const QUuid& id) const {
    for (int row = messageCount() - 1; row >= 0; --row)
        if (messages_[row].id == id)
            return row;
    return -1;
}

void ChatMessagesModel::syncTyping() {
    const bool typing = session_.isStreaming();
    if (typing == typing_)
        return;
    if (typing) {
        beginInsertRows(QModelIndex(), messageCount(), messageCount());
        typing_ = true;
        endInsertRows();
    } else {
        beginRemoveRows(QModelIndex(), messageCount(), messageCount());
        typing_ = false;
        endRemoveRows();
    }
}

// ---- Delegate ------------------------------------------------------------------

MessageDelegate::MessageDelegate(QObject* parent)
    : QStyledItemDelegate(parent) {}

MessageDelegate::~MessageDelegate() = default; // wanted_ goes: what the pool holds skips its work

void MessageDelegate::forgetLayouts() {
    layouts_.clear();
    // What waits is dropped; what runs is dropped when it arrives, and what the pool
    // has not started yet skips its work.
    pending_.clear();
    waiting_.clear();
    queue_.clear();
    urgent_.clear();
    wanted_ = std::make_shared<const bool>(true);
}

bool MessageDelegate::canOpenLabel(const QModelIndex& index) {
    return index.data(Qt::DisplayRole).toString().size() <= kMaxLabelChars;
}

MessageDelegate::Refresh MessageDelegate::refresh(const QModelIndex& index) {
    if (index.data(ChatMessagesModel::IsTypingRole).toBool())
        return Refresh::Repaint;
    const QUuid id = index.data(ChatMessagesModel::IdRole).toUuid();
    const auto known = layouts_.constFind(id);
    if (known == layouts_.cend())
        return Refresh::Resized; // never measured
    const QSize before = known->textSize;
    const std::shared_ptr<QTextDocument> shown = known->document;
    const Layout& now = layoutFor(index);
    if (now.textSize != before)
        return Refresh::Resized;
    return now.document == shown ? Refresh::Unchanged : Refresh::Repaint;
}

namespace {
struct LaidOut {
    QString content;
    QString html;
    std::shared_ptr<QTextDocument> document;
    QSize textSize;
};

// The same rich text with a paragraph per line instead of line breaks: painting
// then finds the lines in sight without going over all the lines before them
// (they are one block otherwise). Each line's markup is closed within the line,
// and an empty line holds a no-break space so that its paragraph is kept.
QString paragraphPerLine(const QString& html) {
    static const QString open = QStringLiteral("<div style=\"white-space: pre-wrap\">");
    static const QString close = QStringLiteral("</div>");
    if (!html.startsWith(open) || !html.endsWith(close))
        return html;
    const QStringView inner = QStringView(html).mid(open.size(), html.size() - open.size() - close.size());
    QString out = open;
    out.reserve(html.size() + html.size() / 4);
    for (const QStringView line : inner.split(QStringLiteral("<br/>"))) {
        out += QStringLiteral("<p style=\"margin:0\">");
        if (line.isEmpty())
            out += QStringLiteral("&nbsp;");
        else
            out += line;
        out += QStringLiteral("</p>");
    }
    out += close;
    return out;
}

// The bubble's text as a document, wrapped at the bubble's width. Any thread: the
// document belongs to the calling thread and is handed to `home` at the end.
LaidOut layOut(ChatMessage::Role role, const QString& content, const QPalette& palette, const QFont& base,
               QThread* home) {
    LaidOut out;
    out.content = content;
    out.html = BubbleStyle::html(role, content, palette);
    auto* document = new QTextDocument();
    document->setDocumentMargin(0);
    document->setDefaultFont(BubbleStyle::font(base));
    document->setHtml(content.size() > MessageDelegate::kMaxLabelChars ? paragraphPerLine(out.html)
                                                                       : out.html);
    const int width =
        std::min(BubbleStyle::kTextMaxWidth, static_cast<int>(std::ceil(document->idealWidth())) + 1);
    document->setTextWidth(width);
    out.textSize = QSize(width, static_cast<int>(std::ceil(document->size().height())));
    if (home && document->thread() != home)
        document->moveToThread(home);
    // Released where it lives: a layout dropped by a watcher that is gone may be
    // released by the pool's thread.
    out.document = std::shared_ptr<QTextDocument>(document, [](QTextDocument* d) {
        if (d->thread() == QThread::currentThread())
            delete d;
        else
            d->deleteLater();
    });
    return out;
}

ChatMessage::Role roleOf(const QModelIndex& index) {
    return index.data(ChatMessagesModel::IsUserRole).toBool() ? ChatMessage::Role::User
                                                              : ChatMessage::Role::Assistant;
}

// Equal texts, without comparing them character by character when they share
// their data (the usual case: the list and the layout hold the same message).
bool sameText(const QString& a, const QString& b) {
    return (a.size() == b.size() && a.constData() == b.constData()) || a == b;
}
} // namespace

namespace {
std::atomic<quint64> layoutsRunSoFar{0};
} // namespace

QThreadPool* MessageDelegate::layoutPool() {
    // Bounded, and never Qt's global pool: the raster painter splits its fills over
    // that one and waits for them, so layouts queued there would stall every paint.
    static QThreadPool* const pool =
        WorkPools::make(QStringLiteral("chat layout"), std::clamp(QThread::idealThreadCount() / 2, 1, 4));
    return pool;
}

quint64 MessageDelegate::layoutsRun() {
    return layoutsRunSoFar.load();
}

void MessageDelegate::startBackgroundLayout(const QUuid& id, ChatMessage::Role role, const QString& content,
                                            bool inSight) const {
    if (const auto waiting = waiting_.find(id); waiting != waiting_.end()) {
        // Not started yet: it takes the newest text.
        waiting->role = role;
        waiting->content = content;
        if (inSight && !waiting->urgent) {
            waiting->urgent = true;
            urgent_.push_back(id);
        }
        feedPool();
        return;
    }
    if (pending_.contains(id))
        return; // one at a time per message; the newest text is taken when it ends
    const quint64 job = ++jobs_;
    pending_.insert(id, job);
    waiting_.insert(id, Waiting{job, role, content, inSight});
    (inSight ? urgent_ : queue_).push_back(id);
    feedPool();
}

void MessageDelegate::feedPool() const {
    QThreadPool* pool = layoutPool();
    const int threads = std::max(1, pool->maxThreadCount());
    while (running_ < threads && !waiting_.isEmpty()) {
        std::deque<QUuid>& from = urgent_.empty() ? queue_ : urgent_;
        if (from.empty())
            break; // cannot happen: every waiting layout has an entry in one of them
        const QUuid id = from.front();
        from.pop_front();
        const auto it = waiting_.find(id);
        if (it == waiting_.end())
            continue; // already handed over (an entry in both queues)
        const Waiting next = *it;
        waiting_.erase(it);
        ++running_;
        const auto* view = qobject_cast<const QWidget*>(parent());
        const QPalette palette = view ? view->palette() : QGuiApplication::palette();
        QThread* home = thread();
        auto* self = const_cast<MessageDelegate*>(this);
        // The watcher goes with the delegate: a layout that ends after it is dropped.
        auto* watcher = new QFutureWatcher<LaidOut>(self);
        const quint64 job = next.job;
        connect(watcher, &QFutureWatcherBase::finished, self, [self, watcher, id, job] {
            const LaidOut laidOut = watcher->result();
            watcher->deleteLater();
            --self->running_;
            const auto it = self->pending_.constFind(id);
            if (it != self->pending_.cend() && *it == job && laidOut.document) {
                self->pending_.erase(it);
                Layout& layout = self->layouts_[id];
                const bool resized = !layout.document || layout.textSize != laidOut.textSize;
                layout.content = laidOut.content;
                layout.html = laidOut.html;
                layout.document = laidOut.document;
                layout.textSize = laidOut.textSize;
                emit self->layoutArrived(id, resized);
            }
            self->feedPool();
        });
        const std::weak_ptr<const bool> wanted = wanted_;
        const ChatMessage::Role role = next.role;
        const QString content = next.content;
        watcher->setFuture(QtConcurrent::run(pool, [role, content, palette, home, wanted] {
            if (wanted.expired())
                return LaidOut{}; // no longer wanted: the conversation or the screen went
            ++layoutsRunSoFar;
            return layOut(role, content, palette, QFont(), home);
        }));
    }
}

const MessageDelegate::Layout& MessageDelegate::layoutFor(const QModelIndex& index, bool inSight,
                                                          bool face) const {
    const QUuid id = index.data(ChatMessagesModel::IdRole).toUuid();
    const QString content = index.data(Qt::DisplayRole).toString();
    Layout& layout = layouts_[id];
    if (layout.document && sameText(layout.content, content))
        return layout;
    const auto role = roleOf(index);
    if (content.size() > kBackgroundLayoutChars) {
        startBackgroundLayout(id, role, content, inSight);
        if (layout.document)
            return layout; // the last one (or its start), until the new one is in
        // Until the whole arrives: a size told from the text alone, so that measuring
        // a long conversation lays nothing out here; and once the bubble is to be
        // shown, the start of its text in a bubble of that size.
        if (layout.textSize.isEmpty())
            layout.textSize = estimatedTextSize(content);
        if (!face)
            return layout;
        const auto* view = qobject_cast<const QWidget*>(parent());
        const QPalette palette = view ? view->palette() : QGuiApplication::palette();
        LaidOut start =
            layOut(role, Characters::fit(content, kBackgroundLayoutChars / 4), palette, QFont(), nullptr);
        layout.content = QString(); // not the message's text: replaced when the whole arrives
        layout.html = start.html;
        layout.document = start.document;
        return layout;
    }
    const auto* view = qobject_cast<const QWidget*>(parent());
    const QPalette palette = view ? view->palette() : QGuiApplication::palette();
    LaidOut laidOut = layOut(role, content, palette, QFont(), nullptr);
    layout.content = laidOut.content;
    layout.html = laidOut.html;
    layout.document = laidOut.document;
    layout.textSize = laidOut.textSize;
    return layout;
}

QSize MessageDelegate::estimatedTextSize(const QString& content) const {
    if (!metrics_)
        metrics_.emplace(BubbleStyle::font(QFont()));
    const qreal advance = std::max<qreal>(1, metrics_->averageCharWidth());
    const auto perLine = std::max<qsizetype>(1, static_cast<qsizetype>(BubbleStyle::kTextMaxWidth / advance));
    qsizetype lines = 0;
    for (const QStringView line : QStringView(content).tokenize(u'\n'))
        lines += std::max<qsizetype>(1, (line.size() + perLine - 1) / perLine);
    const qreal height = std::min<qreal>(qreal(lines) * metrics_->lineSpacing(), 1e7);
    return QSize(BubbleStyle::kTextMaxWidth, static_cast<int>(std::ceil(height)));
}

bool MessageDelegate::hasWholeLayout(const QModelIndex& index) const {
    const auto it = layouts_.constFind(index.data(ChatMessagesModel::IdRole).toUuid());
    return it != layouts_.cend() && it->document &&
           sameText(it->content, index.data(Qt::DisplayRole).toString());
}

QString MessageDelegate::htmlFor(const QModelIndex& index) const {
    return layoutFor(index, false, true).html;
}

QRect MessageDelegate::bubbleRect(const QRect& row, const QModelIndex& index) const {
    const QSize text = layoutFor(index).textSize;
    const QSize bubble(text.width() + 2 * BubbleStyle::kPaddingX, text.height() + 2 * BubbleStyle::kPaddingY);
    const bool user = index.data(ChatMessagesModel::IsUserRole).toBool();
    const int x = user ? row.right() + 1 - bubble.width() : row.left();
    return QRect(QPoint(x, row.top()), bubble);
}

QSize MessageDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    if (index.data(ChatMessagesModel::IsTypingRole).toBool())
        return QSize(option.rect.width(), 26 + kRowSpacing);
    const QSize text = layoutFor(index).textSize;
    return QSize(text.width() + 2 * BubbleStyle::kPaddingX + BubbleStyle::kSideSpace,
                 text.height() + 2 * BubbleStyle::kPaddingY + kRowSpacing);
}

void MessageDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    if (index.data(ChatMessagesModel::IsTypingRole).toBool())
        return; // the indicator widget paints itself
    const Layout& layout = layoutFor(index, true, true);
    const auto role = index.data(ChatMessagesModel::IsUserRole).toBool() ? ChatMessage::Role::User
                                                                         : ChatMessage::Role::Assistant;
    const QRect bubble = bubbleRect(option.rect, index);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(bubble), BubbleStyle::kRadius, BubbleStyle::kRadius);
    painter->fillPath(shape, BubbleStyle::fill(role, option.palette));
    // The bubble under the mouse has its label laid over it: the text is the label's.
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    if (view && view->indexWidget(index)) {
        painter->restore();
        return;
    }
    const QPoint origin = bubble.topLeft() + QPoint(BubbleStyle::kPaddingX, BubbleStyle::kPaddingY);
    painter->translate(origin);
    QAbstractTextDocumentLayout::PaintContext context;
    // Only the lines in sight: a long reply's bubble is far taller than the view.
    QRect visible = bubble;
    if (const auto* list = qobject_cast<const QAbstractItemView*>(option.widget))
        visible = visible.intersected(list->viewport()->rect());
    context.clip = QRectF(visible.translated(-origin));
    context.palette = option.palette;
    context.palette.setColor(QPalette::Text, BubbleStyle::textColor(role, option.palette));
    context.palette.setColor(QPalette::Link, BubbleStyle::linkColor(role, option.palette));
    layout.document->documentLayout()->draw(painter, context);
    painter->restore();
}

QWidget* MessageDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                       const QModelIndex& index) const {
    const auto role = index.data(ChatMessagesModel::IsUserRole).toBool() ? ChatMessage::Role::User
                                                                         : ChatMessage::Role::Assistant;
    return new BubbleLabel(role, parent);
}

void MessageDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    static_cast<BubbleLabel*>(editor)->setContent(index.data(Qt::DisplayRole).toString());
}

void MessageDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const {
    if (index.data(ChatMessagesModel::IsTypingRole).toBool()) {
        editor->setGeometry(QRect(option.rect.topLeft(), editor->sizeHint()));
        return;
    }
    const QRect bubble = bubbleRect(option.rect, index);
    editor->setGeometry(bubble.adjusted(BubbleStyle::kPaddingX, BubbleStyle::kPaddingY,
                                        -BubbleStyle::kPaddingX, -BubbleStyle::kPaddingY));
}

// ---- View ----------------------------------------------------------------------

ChatMessageList::ChatMessageList(ChatMessagesModel* model, QWidget* parent)
    : QListView(parent)
    , model_(model)
    , delegate_(new MessageDelegate(this)) {
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::NoFocus);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setResizeMode(QListView::Adjust);
    // Long conversations are measured a batch at a time from the event loop.
    setLayoutMode(QListView::Batched);
    setBatchSize(100);
    setUniformItemSizes(false);
    setSpacing(0);
    setViewportMargins(16, 16, 16, 6);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    viewport()->setAutoFillBackground(false);
    QPalette transparent = palette();
    transparent.setColor(QPalette::Base, Qt::transparent);
    setPalette(transparent);
    // The model last, once the view is set up: the layout then runs in batches.
    setItemDelegate(delegate_);
    setModel(model_);

    connect(model_, &QAbstractItemModel::rowsInserted, this, &ChatMessageList::placeTyping);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &ChatMessageList::placeTyping);
    connect(model_, &QAbstractItemModel::modelReset, this, &ChatMessageList::placeTyping);
    connect(model_, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        if (open_.isValid())
            closePersistentEditor(open_);
        open_ = QPersistentModelIndex();
    });
    // A layout in from the pool: measured at once when the list was not measured
    // for kRemeasureMs, else once that time is over (thousands arrive when a long
    // conversation opens, and each measure goes over every row).
    remeasure_ = new QTimer(this);
    remeasure_->setSingleShot(true);
    remeasure_->setInterval(kRemeasureMs);
    connect(remeasure_, &QTimer::timeout, this, [this] {
        if (!remeasureOwed_)
            return;
        remeasureOwed_ = false;
        scheduleDelayedItemsLayout();
        viewport()->update();
        remeasure_->start();
    });
    connect(delegate_, &MessageDelegate::layoutArrived, this, [this](const QUuid& id, bool resized) {
        if (!resized) {
            if (const int row = model_->rowOf(id); row >= 0)
                update(model_->index(row));
        } else if (remeasure_->isActive()) {
            remeasureOwed_ = true;
        } else {
            scheduleDelayedItemsLayout();
            viewport()->update();
            remeasure_->start();
        }
    });
    // A whole new conversation is measured in batches again; the old one's layouts go.
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        delegate_->forgetLayouts();
        setLayoutMode(QListView::Batched);
    });
    placeTyping();
}

void ChatMessageList::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                  const QList<int>& roles) {
    auto outcome = MessageDelegate::Refresh::Unchanged;
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        const QModelIndex index = model_->index(row);
        auto refreshed = delegate_->refresh(index);
        if (indexWidget(index)) // an open label takes the new text
            refreshed = std::max(refreshed, MessageDelegate::Refresh::Repaint);
        outcome = std::max(outcome, refreshed);
    }
    if (outcome == MessageDelegate::Refresh::Resized)
        scheduleDelayedItemsLayout();
    if (outcome != MessageDelegate::Refresh::Unchanged)
        QListView::dataChanged(topLeft, bottomRight, roles);
}

void ChatMessageList::placeTyping() {
    // Each time the row appears it gets a fresh indicator (the view deletes it with its row).
    const int row = model_->typingRow();
    if (row >= 0 && !indexWidget(model_->index(row)))
        setIndexWidget(model_->index(row), new TypingIndicator());
}

TypingIndicator* ChatMessageList::typingIndicator() const {
    const int row = model_->typingRow();
    return row < 0 ? nullptr : qobject_cast<TypingIndicator*>(indexWidget(model_->index(row)));
}

void ChatMessageList::updateGeometries() {
    QListView::updateGeometries();
    // Once every row has been measured, later layouts (a streamed message growing)
    // run in one pass over the kept sizes: a batched one would shrink the scroll
    // range for a moment and lose the position.
    const int rows = model_->rowCount();
    if (layoutMode() == QListView::Batched && rows > 0 && visualRect(model_->index(rows - 1)).isValid())
        QTimer::singleShot(0, this, [this] { setLayoutMode(QListView::SinglePass); });
}

QWidget* ChatMessageList::openBubble(int row) {
    const QModelIndex index = model_->index(row);
    if (!index.isValid() || index.data(ChatMessagesModel::IsTypingRole).toBool())
        return nullptr;
    // A label lays out its whole text on the GUI thread: a very long reply is only
    // painted.
    if (!MessageDelegate::canOpenLabel(index))
        return nullptr;
    if (open_ != index) {
        if (open_.isValid())
            closePersistentEditor(open_);
        open_ = index;
        openPersistentEditor(index);
    }
    return indexWidget(index);
}

void ChatMessageList::mouseMoveEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid() &&
        delegate_->bubbleRect(visualRect(index), index).contains(event->position().toPoint()))
        openBubble(index.row());
    QListView::mouseMoveEvent(event);
}
