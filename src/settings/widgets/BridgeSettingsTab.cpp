#include "settings/widgets/BridgeSettingsTab.h"

#include "bridge/BookmarkStore.h"
#include "platform/Localization.h"
#include "platform/Tasks.h"
#include "platform/widgets/PlainText.h"
#include "platform/widgets/SymbolIcon.h"
#include "session/AppSession.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QListView>
#include <QPushButton>
#include <QToolButton>
#include <QTreeView>

using SettingsForm::caption;
using SettingsForm::Role;

namespace {

QColor tintColor(StatusTint tint) {
    switch (tint) {
    case StatusTint::Orange:
        return SettingsForm::colorOf(Role::Orange);
    case StatusTint::Red:
        return SettingsForm::colorOf(Role::Red);
    case StatusTint::Gray:
        return SettingsForm::colorOf(Role::Gray);
    case StatusTint::Green:
        return SettingsForm::colorOf(Role::Green);
    }
    return SettingsForm::colorOf(Role::Gray);
}

// A caption row: a secondary label on the left, a value in equal-width digits on
// the right.
QWidget* valueRow(const QString& title, QLabel** value) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(caption(title));
    layout->addStretch(1);
    *value = caption(QString(), Role::Primary);
    (*value)->setWordWrap(false);
    // The desktop's sans fonts (DejaVu, Noto, Cantarell) draw digits of equal width.
    layout->addWidget(*value);
    return row;
}

// The other platform's 12-point texts sit just under its 13-point body text: here,
// the body size in medium weight.
QFont mediumFont(const QFont& base) {
    QFont font = base;
    font.setWeight(QFont::Medium);
    return font;
}

} // namespace

BridgeStatusRowWidget::BridgeStatusRowWidget(QWidget* parent)
    : QWidget(parent)
    , dot_(new QLabel(this))
    , label_(new QLabel(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(dot_, 0, Qt::AlignVCenter);
    label_->setTextFormat(Qt::PlainText);
    label_->setFont(mediumFont(label_->font()));
    layout->addWidget(label_, 0, Qt::AlignVCenter);
    layout->addStretch(1);
}

void BridgeStatusRowWidget::show(const BridgeStatusRow& row) {
    tint_ = row.tint;
    dot_->setPixmap(SettingsForm::dot(tintColor(row.tint)));
    label_->setText(row.label);
}

BridgeSettingsTab::BridgeSettingsTab(AppSession& session, BookmarkStore& bookmarks, BridgeService& bridge,
                                     QWidget* parent)
    : QWidget(parent)
    , controller_(session, bookmarks, bridge) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QVBoxLayout* page = nullptr;
    outer->addWidget(SettingsForm::makePage(this, &page));

    // 1. Bridge local
    QVBoxLayout* bridgeSection = SettingsForm::addSection(page, loc("Bridge local"));
    toggle_ = new QCheckBox(loc("Activer le pont local"));
    bridgeSection->addWidget(toggle_);
    hint_ = caption(QString());
    bridgeSection->addWidget(hint_);
    connect(toggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_)
            controller_.setBridgeEnabled(on);
    });

    // 2. Connexion
    QVBoxLayout* connection = SettingsForm::addSection(page, loc("Connexion"));
    statusRow_ = new BridgeStatusRowWidget;
    connection->addWidget(statusRow_);
    tasksRow_ = valueRow(loc("Tâches exécutées"), &tasksValue_);
    connection->addWidget(tasksRow_);
    lastActivityRow_ = valueRow(loc("Dernière activité"), &lastActivityValue_);
    connection->addWidget(lastActivityRow_);
    lastError_ = caption(QString(), Role::Red);
    connection->addWidget(lastError_);

    // 3. Dossiers partagés
    QVBoxLayout* folders =
        SettingsForm::addSection(page, loc("Dossiers partagés"), BridgeSettingsController::footer());
    empty_ = caption(BridgeSettingsController::emptyText());
    folders->addWidget(empty_);
    foldersLayout_ = new QVBoxLayout;
    foldersLayout_->setSpacing(0);
    folders->addLayout(foldersLayout_);
    addButton_ = new QPushButton(symbolIcon(QStringLiteral("plus")), loc("Ajouter un dossier…"));
    addButton_->setFlat(true);
    addButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    folders->addWidget(addButton_);
    addError_ = caption(QString(), Role::Red);
    folders->addWidget(addError_);
    connect(addButton_, &QPushButton::clicked, this, &BridgeSettingsTab::pickFolder);

    page->addStretch(1);
    connect(&controller_, &BridgeSettingsController::changed, this, &BridgeSettingsTab::refresh);
    connect(&controller_, &BridgeSettingsController::foldersChanged, this,
            &BridgeSettingsTab::rebuildFolders);
    // The elapsed time keeps counting while shown.
    ticker_.setInterval(1000);
    connect(&ticker_, &QTimer::timeout, this, &BridgeSettingsTab::refreshElapsed);
    ticker_.start();
    rebuildFolders();
    refresh();
}

void BridgeSettingsTab::refresh() {
    refreshing_ = true;
    toggle_->setChecked(controller_.bridgeEnabled());
    toggle_->setEnabled(controller_.toggleEnabled());
    hint_->setText(controller_.hint());
    statusRow_->show(controller_.statusRow());
    const auto tasks = controller_.tasksServedText();
    tasksRow_->setVisible(tasks.has_value());
    tasksValue_->setText(tasks.value_or(QString()));
    refreshElapsed();
    const auto error = controller_.lastErrorMessage();
    lastError_->setVisible(error.has_value());
    lastError_->setText(error.value_or(QString()));
    addError_->setVisible(controller_.addError().has_value());
    addError_->setText(controller_.addError().value_or(QString()));
    refreshing_ = false;
}

void BridgeSettingsTab::refreshElapsed() {
    const auto last = controller_.lastTaskAt();
    lastActivityRow_->setVisible(last.has_value());
    if (last)
        lastActivityValue_->setText(
            BridgeSettingsController::elapsedText(*last, QDateTime::currentDateTimeUtc()));
}

void BridgeSettingsTab::rebuildFolders() {
    for (QWidget* row : folderRows_)
        delete row;
    folderRows_.clear();
    const auto rows = controller_.folders();
    empty_->setVisible(rows.isEmpty());
    for (const auto& folder : rows) {
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 2, 0, 2);
        auto* icon = new QLabel;
        icon->setPixmap(
            SettingsForm::tintedSymbol(QStringLiteral("folder"), 16, SettingsForm::colorOf(Role::Secondary)));
        layout->addWidget(icon);
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        auto* name = new QLabel(folder.name);
        name->setTextFormat(Qt::PlainText);
        name->setFont(mediumFont(name->font()));
        column->addWidget(name);
        auto* path = caption(QString(), Role::Tertiary);
        path->setWordWrap(false);
        path->setText(path->fontMetrics().elidedText(folder.path, Qt::ElideMiddle, 360));
        path->setToolTip(plainToolTip(folder.path));
        path->setObjectName(QStringLiteral("path"));
        column->addWidget(path);
        layout->addLayout(column, 1);
        auto* remove = new QToolButton;
        remove->setAutoRaise(true);
        QColor red = SettingsForm::colorOf(Role::Red);
        red.setAlphaF(0.8);
        remove->setIcon(SettingsForm::tintedSymbolIcon(QStringLiteral("minus.circle.fill"), 16, red));
        remove->setToolTip(loc("Retirer"));
        layout->addWidget(remove);
        const QUuid id = folder.id;
        connect(remove, &QToolButton::clicked, this, [this, id] { controller_.removeFolder(id); });
        foldersLayout_->addWidget(row);
        folderRows_.append(row);
    }
}

QFileDialog* BridgeSettingsTab::pickFolder() {
    controller_.beginAddingFolders();
    if (chooser_)
        chooser_->deleteLater();
    auto* dialog = new QFileDialog(this, loc("Sélectionne les dossiers que le bridge peut parcourir"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setLabelText(QFileDialog::Accept, loc("Ajouter"));
    dialog->setDirectory(QDir::homePath());
    // Qt's dialog chooses one folder in this mode; its views can select several.
    for (auto* view : dialog->findChildren<QAbstractItemView*>()) {
        if (qobject_cast<QListView*>(view) || qobject_cast<QTreeView*>(view))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }
    connect(dialog, &QFileDialog::accepted, this,
            [this, dialog] { detachTask(controller_.addFolders(dialog->selectedFiles())); });
    chooser_ = dialog;
    dialog->open();
    return dialog;
}
