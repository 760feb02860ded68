#pragma once

#include <QObject>
#include <QString>

// Announces an HTTP 401 from the backend. The notice carries the token of the
// request that was refused, so that a listener can ignore a token it no longer uses.
class AuthFailureNotifier : public QObject {
    Q_OBJECT
public:
    static AuthFailureNotifier& shared();
    // The notice's name, as other parts of the program know it.
    static constexpr const char* name = "OmbrixHTTPAuthFailure";

    void post(const QString& token);

signals:
    void authFailure(const QString& token);
};
