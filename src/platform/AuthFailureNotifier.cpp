#include "platform/AuthFailureNotifier.h"

AuthFailureNotifier& AuthFailureNotifier::shared() {
    static AuthFailureNotifier* instance = new AuthFailureNotifier();
    return *instance;
}

void AuthFailureNotifier::post(const QString& token) {
    emit authFailure(token);
}
