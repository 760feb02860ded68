#pragma once

#include "corvane/CorvanePanelController.h"
#include "corvane/CorvanePresenter.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QScrollArea>
#include <QTimer>

#include <functional>
#include <memory>

class QAbstractButton;
class QLabel;
class QVariantAnimation;

namespace corvane_widgets {
class CardFrame;
class BadgeWidget;
class Strip;
struct HeaderParts;
} // namespace corvane_widgets

// The Corvane tab of the Settings window: the header and the five cards in one
// scrolling column, drawn from the presenter's specs. The widgets are made once and
// then updated in place: a new rendering sets only what changed (texts, colours,
// enabled states, the strip) and makes or drops a widget only when a row, a badge or
// a button appears or goes, so focus, hover, a press in progress and the scroll
// position survive a refresh. While shown it ticks once a second, and then only the
// clocked pieces (the Secure Access badge, the countdown rows, the urgency strip and
// the relative dates) are updated, and only when their text changes.
class CorvanePanelView : public QScrollArea {
    Q_OBJECT
public:
    // Without a controller, one on the process-wide model, session and bridge.
    explicit CorvanePanelView(CorvanePanelController* controller = nullptr, QWidget* parent = nullptr);
    ~CorvanePanelView() override;

    CorvanePanelController& controller() const { return *controller_; }
    // The clock of the rendering and of the ticks (tests move it).
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

    // Brings every widget up to the controller's current inputs.
    void renderNow();
    // One tick of the one-second clock.
    void tickNow();

    // For tests and screenshots.
    QWidget* cardWidget(const QString& anchor) const;
    bool cardHighlighted(const QString& anchor) const;
    QAbstractButton* refreshButton() const { return refreshButton_; }
    QAbstractButton* secureAccessButton(const QString& id) const { return actionButtons_.value(id); }
    QLabel* rowValue(const QString& anchor, const QString& title) const;
    QString secureBadgeText() const;
    QString stripText() const;
    int renderCount() const { return renderCount_; }
    // Widgets whose content a tick changed, since the last render.
    int tickUpdates() const { return tickUpdates_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct TickingLabel {
        corvane::RowSpec row;
        QLabel* label;
    };

    void scheduleRender();
    // Makes the column and the header's widgets (again after a palette change).
    void buildContent();
    void buildHeader();
    void updateHeader(const corvane::HeaderSpec& header);
    void updateCard(const corvane::CardSpec& card);
    // The lookups of the tests and of the clock, after the rows changed.
    void indexRows();
    void applyHighlight(bool animate);
    void scrollToAnchor(const QString& anchor);

    QPointer<CorvanePanelController> controller_;
    std::function<QDateTime()> clock_;
    QWidget* content_ = nullptr;
    QWidget* header_ = nullptr;
    QAbstractButton* refreshButton_ = nullptr;
    corvane_widgets::BadgeWidget* secureBadge_ = nullptr;
    QLabel* syncCaption_ = nullptr;
    corvane_widgets::Strip* strip_ = nullptr;
    std::unique_ptr<corvane_widgets::HeaderParts> headerParts_;
    QHash<QString, corvane_widgets::CardFrame*> cards_;
    QList<QString> cardOrder_;
    QHash<QString, QLabel*> rowValues_; // anchor + '\n' + title
    QHash<QString, QAbstractButton*> actionButtons_;
    QList<TickingLabel> ticking_;
    corvane::PanelInputs inputs_;
    QTimer tickTimer_;
    QVariantAnimation* scrollAnimation_ = nullptr;
    bool renderPending_ = false;
    bool contentStale_ = false;
    int renderCount_ = 0;
    int tickUpdates_ = 0;
};
