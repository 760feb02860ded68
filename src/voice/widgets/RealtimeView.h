#pragma once

#include <QWidget>

class AppSession;
class QLabel;
class QScrollArea;
class RealtimeController;
class VoiceOrb;

// The realtime screen: the pulsing orb, two status lines and the transcripts
// ("Toi", "Ombrix"), drawn from a RealtimeController. Shown, it asks for the
// microphone; hidden, it hangs up.
class RealtimeView : public QWidget {
    Q_OBJECT
public:
    explicit RealtimeView(AppSession& session, QWidget* parent = nullptr);
    ~RealtimeView() override;

    RealtimeController& controller() { return *controller_; }
    VoiceOrb* orb() const { return orb_; }
    QLabel* primaryLabel() const { return primary_; }
    QLabel* secondaryLabel() const { return secondary_; }
    QScrollArea* transcripts() const { return transcripts_; }
    QWidget* userLine() const { return userLine_; }
    QWidget* assistantLine() const { return assistantLine_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();

    RealtimeController* controller_;
    VoiceOrb* orb_;
    QLabel* primary_;
    QLabel* secondary_;
    QScrollArea* transcripts_;
    QWidget* userLine_;
    QLabel* userText_;
    QWidget* assistantLine_;
    QLabel* assistantText_;
};
