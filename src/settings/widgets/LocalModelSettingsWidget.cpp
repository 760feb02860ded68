#include "settings/widgets/LocalModelSettingsWidget.h"

#include "platform/Tasks.h"

#include "platform/Localization.h"
#include "platform/widgets/PlainText.h"
#include "platform/widgets/SymbolIcon.h"
#include "session/AppSession.h"
#include "settings/LocalModelPicker.h"
#include "settings/LocalModelSettings.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QLabel* caption(const QString& text, const char* role = "secondary") {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText); // health, hints and errors can carry the server's words
    label->setWordWrap(true);
    label->setProperty("role", role);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    QPalette palette = label->palette();
    if (qstrcmp(role, "error") == 0)
        palette.setColor(QPalette::WindowText, QColor(0xd7, 0x26, 0x1e));
    else
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QProgressBar* spinner() {
    auto* bar = new QProgressBar;
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedSize(36, 8);
    return bar;
}

// A titled section of the form: header, content, optional footer.
QVBoxLayout* section(QVBoxLayout* page, const QString& title, QLabel* footer = nullptr) {
    auto* header = new QLabel(title);
    QFont font = header->font();
    font.setBold(true);
    header->setFont(font);
    page->addWidget(header);
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    auto* body = new QVBoxLayout(frame);
    body->setSpacing(6);
    page->addWidget(frame);
    if (footer)
        page->addWidget(footer);
    page->addSpacing(10);
    return body;
}

// A symbolic icon drawn in one colour (the check in green, the cross in red).
QPixmap tinted(const QString& symbol, const QColor& colour) {
    QPixmap pixmap = symbolIcon(symbol).pixmap(16, 16);
    if (pixmap.isNull())
        return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), colour);
    return pixmap;
}

QString dotStyle(LocalModelSettingsController::HealthStatus::Kind kind) {
    using Kind = LocalModelSettingsController::HealthStatus::Kind;
    const char* colour = kind == Kind::Ok ? "#2ea043" : kind == Kind::Down ? "#d7261e" : "#8b8b8b";
    return QStringLiteral("background: %1; border-radius: 4px;").arg(colour);
}

} // namespace

ProgressLogView::ProgressLogView(int keepLines, int maxHeight, QWidget* parent)
    : QPlainTextEdit(parent)
    , keepLines_(keepLines) {
    setReadOnly(true); // commands' output, plain text, selectable
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // The view keeps no copy of what it dropped, and trims itself (the document's
    // block limit would lay out the block it removes).
    document()->setUndoRedoEnabled(false);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Wrapped anywhere, as a terminal does: progress output may run for thousands of
    // characters without a space, which costs a search for a word boundary per line
    // in the other modes.
    setWordWrapMode(QTextOption::WrapAnywhere);
    QFont font(QStringLiteral("monospace"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSize(8);
    setFont(font);
    setStyleSheet(QStringLiteral("QPlainTextEdit { background: rgba(0,0,0,38); border: none; "
                                 "border-radius: 4px; padding: 6px; }"));
    // Always as high as its limit: a view that grew with its lines would lay the
    // whole tab out again for a burst.
    setFixedHeight(maxHeight);
}

QString ProgressLogView::shown(const QString& line) {
    return ProgressLog::lastCharacters(line, kMaxShownChars);
}

void ProgressLogView::follow(const ProgressLog& log) {
    const QStringList& lines = log.lines();
    const qsizetype wanted = qMin<qsizetype>(lines.size(), keepLines_);
    const qsizetype fresh =
        static_cast<qsizetype>(qMin<quint64>(log.appended() - appended_, lines.size() + 1));
    if (log.epoch() != epoch_ || log.appended() < appended_ || fresh > wanted || shown_ + fresh < wanted) {
        // Emptied, or moved on by more than this view shows: drawn again from its lines.
        clear();
        shown_ = 0;
        appendLines(lines.mid(lines.size() - wanted));
        shown_ = wanted;
    } else if (fresh > 0) {
        appendLines(lines.mid(lines.size() - fresh));
        shown_ += fresh;
    }
    if (shown_ > wanted) {
        // The log dropped lines (its line or size limit).
        dropFirstLines(static_cast<int>(shown_ - wanted));
        shown_ = wanted;
    }
    epoch_ = log.epoch();
    appended_ = log.appended();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void ProgressLogView::appendLines(const QStringList& lines) {
    if (lines.isEmpty())
        return;
    // One insertion for the whole burst.
    QString text;
    for (const QString& line : lines) {
        if (!text.isEmpty() || shown_ > 0)
            text += QLatin1Char('\n');
        text += shown(line);
    }
    QTextCursor end(document());
    end.beginEditBlock(); // where setting the position lays nothing out
    end.setPosition(document()->characterCount() - 1);
    end.insertText(text);
    end.endEditBlock();
}

void ProgressLogView::dropFirstLines(int count) {
    // Positions are set inside an edit block, where the cursor lays nothing out.
    QTextCursor top(document());
    top.beginEditBlock();
    const QTextBlock keep = document()->findBlockByNumber(count);
    top.setPosition(keep.isValid() ? keep.position() : document()->characterCount() - 1,
                    QTextCursor::KeepAnchor);
    top.removeSelectedText();
    top.endEditBlock();
}

LocalModelSettingsWidget::LocalModelSettingsWidget(QWidget* parent)
    : QWidget(parent)
    , controller_(new LocalModelSettingsController(this)) {
    build();
    connect(controller_, &LocalModelSettingsController::changed, this, &LocalModelSettingsWidget::refresh);
    // A burst of log lines is drawn once, when the event loop is back.
    connect(controller_, &LocalModelSettingsController::logAppended, this, [this] {
        if (std::exchange(logFollowQueued_, true))
            return;
        QTimer::singleShot(0, this, [this] {
            logFollowQueued_ = false;
            followLogs();
        });
    });
    AppSession& session = AppSession::shared();
    connect(&session, &AppSession::localLLMEndpointChanged, this, [this] {
        if (shown_)
            detachTask(controller_->checkHealth());
        refresh();
    });
    connect(&session, &AppSession::localLLMModelChanged, this, &LocalModelSettingsWidget::refresh);
    connect(&session, &AppSession::localLLMEnabledChanged, this, &LocalModelSettingsWidget::refresh);
    refresh();
}

LocalModelSettingsWidget::~LocalModelSettingsWidget() = default;

void LocalModelSettingsWidget::build() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);
    auto* content = new QWidget;
    auto* page = new QVBoxLayout(content);
    page->setContentsMargins(20, 20, 20, 20);
    scroll->setWidget(content);
    AppSession& session = AppSession::shared();

    // LLM local
    auto* general = section(page, loc("LLM local"));
    enabled_ = new QCheckBox(loc("Activer le LLM local"));
    connect(enabled_, &QCheckBox::toggled, this,
            [](bool on) { AppSession::shared().setLocalLLMEnabled(on); });
    general->addWidget(enabled_);
    general->addWidget(
        caption(loc("Quand actif, le Mac traite les requêtes `llm_infer` envoyées par le backend et "
                    "renvoie la réponse du serveur local. Les conversations ne quittent pas ton Mac.")));

    // Statut
    auto* status = section(page, loc("Statut"));
    auto* statusRow = new QHBoxLayout;
    statusRow->setSpacing(8);
    statusDot_ = new QLabel;
    statusDot_->setFixedSize(8, 8);
    statusLabel_ = new QLabel;
    statusLabel_->setTextFormat(Qt::PlainText);
    QFont medium = statusLabel_->font();
    medium.setWeight(QFont::Medium);
    statusLabel_->setFont(medium);
    statusSpinner_ = spinner();
    restart_ = new QPushButton(loc("Redémarrer"));
    connect(restart_, &QPushButton::clicked, this, [this] { detachTask(controller_->restartServer()); });
    auto* retest = new QToolButton;
    retest->setIcon(symbolIcon(QStringLiteral("arrow.clockwise")));
    retest->setAutoRaise(true);
    retest->setToolTip(loc("Re-tester"));
    connect(retest, &QToolButton::clicked, this, [this] { detachTask(controller_->checkHealth()); });
    statusRow->addWidget(statusDot_);
    statusRow->addWidget(statusLabel_);
    statusRow->addWidget(statusSpinner_);
    statusRow->addStretch();
    statusRow->addWidget(restart_);
    statusRow->addWidget(retest);
    status->addLayout(statusRow);
    restartBanner_ = caption(loc("Redémarrage en cours… le premier chargement du modèle prend 15-30s."));
    status->addWidget(restartBanner_);
    loadedModels_ = caption(QString());
    loadedModels_->setTextFormat(Qt::PlainText);
    status->addWidget(loadedModels_);

    // Endpoint
    auto* endpoint = section(page, loc("Endpoint"));
    endpoint_ = new QLineEdit;
    endpoint_->setPlaceholderText(QStringLiteral("http://127.0.0.1:8080/v1"));
    endpoint_->setText(session.localLLMEndpoint());
    connect(endpoint_, &QLineEdit::textEdited, this,
            [](const QString& text) { AppSession::shared().setLocalLLMEndpoint(text); });
    endpoint->addWidget(endpoint_);
    endpoint->addWidget(caption(loc("URL de base compatible OpenAI (sans `/chat/completions`).")));

    // Modèle par défaut
    ramFooter_ = caption(QString());
    auto* defaultModel = section(page, loc("Modèle par défaut"), ramFooter_);
    picker_ = new QToolButton;
    picker_->setPopupMode(QToolButton::InstantPopup);
    picker_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    picker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    picker_->setMenu(new QMenu(picker_));
    connect(picker_->menu(), &QMenu::aboutToShow, this, [this] {
        QMenu* menu = picker_->menu();
        menu->clear();
        const auto models = controller_->catalogModels();
        for (const LocalLLMModel& model : models) {
            menu->addAction(plainMenuText(ModelCatalogPicker::rowLabel(
                                model, controller_->downloadedModelIds(), controller_->machineRamGB())),
                            this, [id = model.id] { AppSession::shared().setLocalLLMModel(id); });
        }
        menu->addSeparator();
        menu->addAction(loc("Autre (ID Hugging Face personnalisé)…"), this, [this] {
            AppSession& s = AppSession::shared();
            s.setLocalLLMModel(
                ModelCatalogPicker::customEntrySelection(s.localLLMModel(), controller_->catalogModels()));
        });
    });
    defaultModel->addWidget(picker_);
    customModel_ = new QLineEdit;
    customModel_->setPlaceholderText(QStringLiteral("org/model-MLX-4bit"));
    connect(customModel_, &QLineEdit::textEdited, this,
            [](const QString& text) { AppSession::shared().setLocalLLMModel(text); });
    defaultModel->addWidget(customModel_);
    auto* applyRow = new QHBoxLayout;
    apply_ = new QPushButton(loc("Appliquer et redémarrer"));
    connect(apply_, &QPushButton::clicked, this, [this] { detachTask(controller_->applyModel()); });
    applySpinner_ = spinner();
    applyRow->addWidget(apply_);
    applyRow->addWidget(applySpinner_);
    applyRow->addStretch();
    defaultModel->addLayout(applyRow);
    modelHint_ = caption(QString());
    defaultModel->addWidget(modelHint_);

    // Catalogue de modèles
    auto* catalogue = section(
        page, loc("Catalogue de modèles"),
        caption(loc("Les modèles sont stockés dans ~/.cache/huggingface/hub. Le serveur charge à la volée "
                    "le modèle que l'app demande — aucun redémarrage à faire en changeant.")));
    catalogueRows_ = new QVBoxLayout;
    catalogueRows_->setSpacing(4);
    catalogue->addLayout(catalogueRows_);
    downloadLog_ = new ProgressLogView(LocalModelSettingsController::kDownloadLogTailLines, 100);
    catalogue->addWidget(downloadLog_);
    catalogueError_ = caption(QString(), "error");
    catalogueError_->setTextFormat(Qt::PlainText);
    catalogueError_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    catalogue->addWidget(catalogueError_);

    // Installation
    auto* installation = section(
        page, loc("Installation"),
        caption(loc("Prérequis : Homebrew (https://brew.sh). Le reste (uv, mlx-lm, LaunchAgent) est géré "
                    "par ce bouton.")));
    componentRows_ = new QVBoxLayout;
    installation->addLayout(componentRows_);
    auto* installRow = new QHBoxLayout;
    install_ = new QPushButton;
    connect(install_, &QPushButton::clicked, this, [this] { detachTask(controller_->runInstall()); });
    installSpinner_ = spinner();
    auto* redetect = new QToolButton;
    redetect->setIcon(symbolIcon(QStringLiteral("arrow.clockwise")));
    redetect->setAutoRaise(true);
    redetect->setToolTip(loc("Re-détecter"));
    connect(redetect, &QToolButton::clicked, this, [this] { detachTask(controller_->redetect()); });
    installRow->addWidget(install_);
    installRow->addWidget(installSpinner_);
    installRow->addStretch();
    installRow->addWidget(redetect);
    installation->addLayout(installRow);
    installError_ = caption(QString(), "error");
    installError_->setTextFormat(Qt::PlainText);
    installError_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    installation->addWidget(installError_);
    installLog_ = new ProgressLogView(LocalModelSettingsController::kOperationLogLines, 140);
    installation->addWidget(installLog_);

    // Diagnostic
    auto* diagnostic = section(page, loc("Diagnostic"));
    auto* testRow = new QHBoxLayout;
    test_ = new QPushButton(loc("Tester l'inférence"));
    connect(test_, &QPushButton::clicked, this, [this] { detachTask(controller_->runTest()); });
    testSpinner_ = spinner();
    auto* logs = new QToolButton;
    logs->setText(loc("Ouvrir les logs"));
    logs->setAutoRaise(true);
    connect(logs, &QToolButton::clicked, this, [this] { detachTask(controller_->openLogs()); });
    testRow->addWidget(test_);
    testRow->addWidget(testSpinner_);
    testRow->addStretch();
    testRow->addWidget(logs);
    diagnostic->addLayout(testRow);
    testOutput_ = caption(QString());
    testOutput_->setTextFormat(Qt::PlainText);
    testOutput_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    diagnostic->addWidget(testOutput_);
    testError_ = caption(QString(), "error");
    testError_->setTextFormat(Qt::PlainText);
    testError_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    diagnostic->addWidget(testError_);
    page->addStretch();
}

void LocalModelSettingsWidget::refresh() {
    const LocalModelSettingsController& c = *controller_;
    const AppSession& session = AppSession::shared();
    const QSignalBlocker blockEnabled(enabled_);
    enabled_->setChecked(session.localLLMEnabled());

    statusDot_->setStyleSheet(dotStyle(c.healthStatus().kind()));
    statusLabel_->setText(c.healthLabel());
    statusSpinner_->setVisible(c.spinnerInStatusRow());
    restart_->setEnabled(c.canRestart());
    restartBanner_->setVisible(c.isRestarting());
    loadedModels_->setVisible(!c.availableModels().isEmpty());
    loadedModels_->setText(loc("Modèles chargés") + "\n" + c.availableModels().join('\n'));

    if (endpoint_->text() != session.localLLMEndpoint())
        endpoint_->setText(session.localLLMEndpoint());

    const QString selection = session.localLLMModel();
    picker_->setText(plainMenuText(
        ModelCatalogPicker::currentModelTitle(selection, c.catalogModels()) + "\n" +
        ModelCatalogPicker::currentModelSubtitle(selection, c.catalogModels(), c.downloadedModelIds())));
    customModel_->setVisible(c.isCustomModel());
    if (customModel_->text() != selection)
        customModel_->setText(selection);
    apply_->setEnabled(c.canApply());
    applySpinner_->setVisible(c.isApplying());
    modelHint_->setText(c.modelHint());
    ramFooter_->setText(c.ramFooter());

    rebuildCatalogue();
    downloadLog_->setVisible(c.showsDownloadLog());
    const auto errorLine = c.catalogErrorLine();
    catalogueError_->setVisible(errorLine.has_value());
    catalogueError_->setText(errorLine.value_or(QString()));

    rebuildComponents();
    install_->setText(c.installButtonTitle());
    install_->setEnabled(c.canInstall());
    installSpinner_->setVisible(c.isInstalling());
    installError_->setVisible(c.installError().has_value());
    installError_->setText(c.installError().value_or(QString()));
    installLog_->setVisible(!c.progressLog().isEmpty());
    followLogs();

    test_->setEnabled(c.canTest());
    testSpinner_->setVisible(c.isTesting());
    testOutput_->setVisible(c.testOutput().has_value());
    testOutputText_ = c.testOutput().value_or(QString());
    testError_->setVisible(c.testError().has_value());
    testErrorText_ = c.testError().value_or(QString());
    fitDiagnosticTexts();

    if (c.pendingDeleteModel() && !dialogOpen_)
        presentDeleteDialog();
}

void LocalModelSettingsWidget::followLogs() {
    downloadLog_->follow(controller_->progressLog());
    installLog_->follow(controller_->progressLog());
}

void LocalModelSettingsWidget::rebuildCatalogue() {
    const LocalModelSettingsController& c = *controller_;
    // Rows are rebuilt only when what they show changes, not for every log line.
    QString signature = QString::number(c.rowActionsEnabled()) + QString::number(c.machineRamGB());
    for (const LocalLLMModel& model : c.catalogModels())
        signature += model.id + QString::number(static_cast<int>(c.rowControl(model))) + model.displayName;
    if (signature == catalogueSignature_)
        return;
    catalogueSignature_ = signature;
    while (QLayoutItem* item = catalogueRows_->takeAt(0)) {
        if (item->widget()) {
            item->widget()->hide(); // gone at once, deleted once the event loop is back
            item->widget()->deleteLater();
        }
        delete item;
    }
    for (const LocalLLMModel& model : c.catalogModels()) {
        auto* row = new QWidget;
        row->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 2, 0, 2);
        layout->setSpacing(8);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* titleRow = new QHBoxLayout;
        titleRow->setSpacing(6);
        auto* name = new QLabel(model.displayName);
        name->setTextFormat(Qt::PlainText);
        QFont medium = name->font();
        medium.setWeight(QFont::Medium);
        name->setFont(medium);
        titleRow->addWidget(name);
        if (ModelCatalogPicker::exceedsRam(model, c.machineRamGB())) {
            auto* warning = new QLabel(loc("⚠︎ RAM"));
            warning->setStyleSheet(QStringLiteral("color: #e8890c;"));
            titleRow->addWidget(warning);
        }
        titleRow->addStretch();
        texts->addLayout(titleRow);
        auto* facts = caption(ModelCatalogPicker::factsLine(model));
        facts->setFont(QFont(QStringLiteral("monospace"), 8));
        texts->addWidget(facts);
        layout->addLayout(texts);
        layout->addStretch();
        switch (c.rowControl(model)) {
        case LocalModelSettingsController::RowControl::Downloaded: {
            auto* check = new QLabel;
            check->setPixmap(tinted(QStringLiteral("checkmark.circle.fill"), QColor(0x2e, 0xa0, 0x43)));
            auto* trash = new QToolButton;
            trash->setIcon(QIcon(tinted(QStringLiteral("trash"), QColor(0xd7, 0x26, 0x1e, 204))));
            trash->setAutoRaise(true);
            trash->setToolTip(loc("Supprimer les poids du cache"));
            trash->setEnabled(c.rowActionsEnabled());
            connect(trash, &QToolButton::clicked, this, [this, model] { controller_->requestDelete(model); });
            layout->addWidget(check);
            layout->addWidget(trash);
            break;
        }
        case LocalModelSettingsController::RowControl::Downloading:
        case LocalModelSettingsController::RowControl::Deleting:
            layout->addWidget(spinner());
            break;
        case LocalModelSettingsController::RowControl::DownloadButton: {
            auto* button = new QPushButton(loc("Télécharger"));
            button->setEnabled(c.rowActionsEnabled());
            connect(button, &QPushButton::clicked, this,
                    [this, model] { detachTask(controller_->download(model)); });
            layout->addWidget(button);
            break;
        }
        }
        catalogueRows_->addWidget(row);
    }
}

void LocalModelSettingsWidget::rebuildComponents() {
    const auto components = controller_->installStatus().components;
    QString signature;
    for (const auto& component : components)
        signature += component.id + component.label + QString::number(component.installed) +
                     component.detail.value_or(QString());
    if (signature == componentsSignature_ && !signature.isEmpty())
        return;
    componentsSignature_ = signature;
    while (QLayoutItem* item = componentRows_->takeAt(0)) {
        if (item->widget()) {
            item->widget()->hide(); // gone at once, deleted once the event loop is back
            item->widget()->deleteLater();
        }
        delete item;
    }
    for (const auto& component : components) {
        auto* row = new QWidget;
        row->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        auto* icon = new QLabel;
        icon->setPixmap(component.installed
                            ? tinted(QStringLiteral("checkmark.circle.fill"), QColor(0x2e, 0xa0, 0x43))
                            : tinted(QStringLiteral("xmark.circle.fill"), QColor(0xd7, 0x26, 0x1e)));
        auto* label = new QLabel(component.label);
        label->setTextFormat(Qt::PlainText);
        layout->addWidget(icon);
        layout->addWidget(label);
        layout->addStretch();
        if (component.detail) {
            auto* detail = caption(*component.detail);
            detail->setTextFormat(Qt::PlainText);
            detail->setWordWrap(false);
            detail->setFont(QFont(QStringLiteral("monospace"), 8));
            layout->addWidget(detail);
        }
        componentRows_->addWidget(row);
    }
}

void LocalModelSettingsWidget::presentDeleteDialog() {
    dialogOpen_ = true;
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(controller_->deleteDialogTitle());
    box->setTextFormat(Qt::PlainText);
    box->setText(controller_->deleteDialogTitle());
    box->setInformativeText(
        loc("Les poids seront retirés du cache Hugging Face. Tu pourras re-télécharger à tout "
            "moment, mais compte 2-20 min selon la taille."));
    QPushButton* remove = box->addButton(controller_->deleteButtonTitle(), QMessageBox::DestructiveRole);
    box->addButton(loc("Annuler"), QMessageBox::RejectRole);
    connect(box, &QMessageBox::finished, this, [this, box, remove] {
        dialogOpen_ = false;
        if (box->clickedButton() == remove)
            detachTask(controller_->confirmDelete());
        else
            controller_->cancelDelete();
    });
    box->open();
}

QString limitToLines(const QString& text, const QFont& font, int width, int maxLines) {
    if (text.isEmpty() || width <= 0)
        return text;
    const QFontMetrics metrics(font);
    QStringList lines;
    // Line feeds of the text end lines too; each paragraph wraps at the width.
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        if (paragraph.isEmpty()) {
            lines.append(QString());
            if (lines.size() > maxLines)
                break;
            continue;
        }
        QTextLayout layout(paragraph, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines.append(paragraph.mid(line.textStart(), line.textLength()));
            if (lines.size() > maxLines)
                break;
        }
        layout.endLayout();
        if (lines.size() > maxLines)
            break;
    }
    if (lines.size() <= maxLines)
        return text;
    lines = lines.mid(0, maxLines);
    // The last line kept ends with an ellipsis, within the width.
    QString& last = lines.last();
    last = metrics.elidedText(last.trimmed() + QStringLiteral("…"), Qt::ElideRight, width);
    if (!last.endsWith(QStringLiteral("…")))
        last += QStringLiteral("…");
    return lines.join(QLatin1Char('\n'));
}

void LocalModelSettingsWidget::fitDiagnosticTexts() {
    const int outputWidth = testOutput_->contentsRect().width();
    const int errorWidth = testError_->contentsRect().width();
    testOutput_->setText(limitToLines(testOutputText_, testOutput_->font(),
                                      outputWidth > 0 ? outputWidth : width() - 60, kTestOutputLines));
    testError_->setText(limitToLines(testErrorText_, testError_->font(),
                                     errorWidth > 0 ? errorWidth : width() - 60, kTestErrorLines));
}

void LocalModelSettingsWidget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitDiagnosticTexts();
}

void LocalModelSettingsWidget::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    shown_ = true;
    detachTask(controller_->onShown());
}

void LocalModelSettingsWidget::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    shown_ = false;
    controller_->onHidden();
}
