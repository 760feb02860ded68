#include "app/widgets/ProviderPicker.h"

#include "platform/Tasks.h"

#include "app/CloudCatalog.h"
#include "app/widgets/MessageBubble.h"
#include "localllm/LocalLLMCatalog.h"
#include "platform/widgets/PlainText.h"
#include "platform/widgets/SymbolIcon.h"
#include "session/AppSession.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QWidgetAction>
#include <QtConcurrent>

ProviderPicker::ProviderPicker(AppSession& session, CloudCatalog& catalog, QWidget* parent)
    : QFrame(parent)
    , session_(session)
    , catalog_(catalog)
    , model_(session, catalog) {
    setObjectName(QStringLiteral("pill"));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QColor fill = palette().color(QPalette::WindowText);
    fill.setAlphaF(0.08f);
    setStyleSheet(QStringLiteral("#pill { background: rgba(%1, %2, %3, %4); border-radius: 8px; }")
                      .arg(fill.red())
                      .arg(fill.green())
                      .arg(fill.blue())
                      .arg(fill.alphaF(), 0, 'f', 3));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 5, 8, 5);
    row->setSpacing(4);
    symbol_ = new QLabel(this);
    text_ = new QLabel(this);
    text_->setTextFormat(Qt::PlainText); // a model's name is never markup
    QFont font = text_->font();
    font.setPixelSize(11);
    font.setWeight(QFont::Medium);
    text_->setFont(font);
    const QColor secondary = palette().color(QPalette::WindowText).lighter(140);
    QPalette textColours = text_->palette();
    textColours.setColor(QPalette::WindowText, secondary);
    text_->setPalette(textColours);
    chevron_ = new QLabel(this);
    chevron_->setPixmap(tintedSymbol(QStringLiteral("chevron.up.chevron.down"),
                                     palette().color(QPalette::PlaceholderText), 8, devicePixelRatioF()));
    row->addWidget(symbol_);
    row->addWidget(text_);
    row->addWidget(chevron_);

    menu_ = new QMenu(this);
    connect(menu_, &QMenu::aboutToShow, this, [this] {
        rebuildMenu();
        reloadDownloadedModels();
    });
    connect(&catalog_, &CloudCatalog::providersChanged, this, [this] {
        updatePill();
        rebuildMenu();
    });
    connect(&session_, &AppSession::providerChanged, this, &ProviderPicker::updatePill);
    connect(&session_, &AppSession::selectedCloudModelChanged, this, &ProviderPicker::updatePill);
    connect(&session_, &AppSession::selectedLocalModelChanged, this, &ProviderPicker::updatePill);
    updatePill();
    rebuildMenu();
}

QString ProviderPicker::pillText() const {
    return label_;
}

QMenu* ProviderPicker::menu() {
    rebuildMenu();
    return menu_;
}

void ProviderPicker::updatePill() {
    symbol_->setPixmap(tintedSymbol(model_.pillSymbol(), palette().color(QPalette::WindowText).lighter(140),
                                    10, devicePixelRatioF()));
    // A long name (the catalogue's, a cache folder's) must not push the input bar away.
    label_ = model_.pillLabel();
    const QString shown = text_->fontMetrics().elidedText(label_, Qt::ElideRight, kMaxLabelWidth);
    text_->setText(shown);
    setToolTip(shown == label_ ? QString() : plainToolTip(label_));
    adjustSize();
}

void ProviderPicker::rebuildMenu() {
    menu_->clear();
    for (const PickerEntry& entry : model_.menuEntries(downloaded_)) {
        switch (entry.kind) {
        case PickerEntry::Kind::Section:
            menu_->addSection(plainMenuText(entry.title));
            continue;
        case PickerEntry::Kind::Divider:
            menu_->addSeparator();
            continue;
        default:
            break;
        }
        QString text = plainMenuText(entry.title);
        if (!entry.subtitle.isEmpty())
            text += QLatin1Char('\t') + plainMenuText(entry.subtitle);
        QAction* action = menu_->addAction(symbolIcon(entry.symbol), text);
        connect(action, &QAction::triggered, this, [this, entry] { model_.choose(entry); });
    }
}

void ProviderPicker::reloadDownloadedModels() {
    // The model cache is read off the GUI thread; the menu follows when it changed.
    auto* watcher = new QFutureWatcher<QSet<QString>>(this);
    connect(watcher, &QFutureWatcher<QSet<QString>>::finished, this, [this, watcher] {
        const QSet<QString> ids = watcher->result();
        watcher->deleteLater();
        if (ids == downloaded_)
            return;
        downloaded_ = ids;
        rebuildMenu();
    });
    watcher->setFuture(QtConcurrent::run([] { return LocalLLMCatalog::downloadedIds(); }));
}

void ProviderPicker::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    reloadDownloadedModels();
    detachTask(catalog_.refreshIfStale());
}

void ProviderPicker::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) {
        QFrame::mouseReleaseEvent(event);
        return;
    }
    menu_->popup(mapToGlobal(QPoint(0, 0)) - QPoint(0, menu_->sizeHint().height()));
}
