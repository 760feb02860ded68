#pragma once

#include "platform/Errors.h"

#include <QString>

// An error of the voice code: a domain ("OmbrixMac.AudioRecorder",
// "OmbrixMac.Realtime"), a small code and the French description shown to the user.
class VoiceError : public OmbrixError {
public:
    VoiceError(QString domain, int code, QString message)
        : domain_(std::move(domain))
        , code_(code)
        , message_(std::move(message)) {}
    QString description() const override { return message_; }
    QString domain() const { return domain_; }
    int code() const { return code_; }

private:
    QString domain_;
    int code_;
    QString message_;
};
