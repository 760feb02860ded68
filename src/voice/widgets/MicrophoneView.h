#pragma once

#include <QWidget>

class AppSession;
class MicrophoneController;
class QLabel;
class QScrollArea;
class VoiceOrb;

// The push-to-talk screen: the orb, two status lines and the reply box, drawn
// from a MicrophoneController. Hidden (the popover closed), a turn under way goes
// on and lands on the screen; only destroying the screen abandons it.
class MicrophoneView : public QWidget {
    Q_OBJECT
public:
    explicit MicrophoneView(AppSession& session, QWidget* parent = nullptr);
    ~MicrophoneView() override;

    MicrophoneController& controller() { return *controller_; }
    VoiceOrb* orb() const { return orb_; }
    QLabel* primaryLabel() const { return primary_; }
    QLabel* secondaryLabel() const { return secondary_; }
    QScrollArea* replyArea() const { return replyArea_; }

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();

    MicrophoneController* controller_;
    VoiceOrb* orb_;
    QLabel* primary_;
    QLabel* secondary_;
    QScrollArea* replyArea_;
    QLabel* replyText_;
};
