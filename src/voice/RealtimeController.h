#pragma once

#include "voice/RealtimeClient.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

class AppSession;

// The realtime screen without its widgets: what the orb and the two lines show
// for the client's state, the tap (start, hang up, interrupt, cancel, retry), the
// microphone question when the screen is shown and the hang-up when it goes.
class RealtimeController : public QObject {
    Q_OBJECT

public:
    explicit RealtimeController(AppSession& session, QObject* parent = nullptr);
    ~RealtimeController() override;

    RealtimeClient& client() { return client_; }
    const RealtimeClient& client() const { return client_; }
    bool micGranted() const { return micGranted_; }

    QString primaryLabel() const;
    QString secondaryLabel() const;
    QString orbSymbol() const;
    bool orbLive() const; // listening or speaking: brighter glow, symbol effect
    double glowOpacity() const { return orbLive() ? 0.6 : 0.3; }
    bool showsTranscripts() const;
    // A session ended on a failure: shown like the service's own errors, and a tap retries.
    bool showsFailure() const;

    void toggle();
    // The screen is shown: asks whether the microphone may be used.
    void appear();
    // The screen goes away: the session ends.
    void disappear();

signals:
    void changed();

private:
    QCoro::Task<> askPermission();
    QCoro::Task<> startClient(QString token, QString voice);

    AppSession& session_;
    RealtimeClient client_;
    bool micGranted_ = false;
};
