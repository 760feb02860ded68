#pragma once

#include "platform/Errors.h"

#include <QByteArray>

#include <optional>

// The backend client's error.
class APIError : public OmbrixError {
public:
    enum class Kind { Http, NotAuthenticated, Decoding };

    static APIError http(int status, std::optional<QString> body) {
        return APIError(Kind::Http, status, std::move(body));
    }
    static APIError notAuthenticated() { return APIError(Kind::NotAuthenticated, 0, std::nullopt); }
    static APIError decoding() { return APIError(Kind::Decoding, 0, std::nullopt); }
    // http() with the body bytes decoded as UTF-8, absent when they are not valid UTF-8.
    static APIError httpWithBytes(int status, const QByteArray& body);

    Kind kind() const { return kind_; }
    int status() const { return status_; }
    const std::optional<QString>& body() const { return body_; }
    QString description() const override;

private:
    APIError(Kind kind, int status, std::optional<QString> body)
        : kind_(kind)
        , status_(status)
        , body_(std::move(body)) {}

    Kind kind_;
    int status_;
    std::optional<QString> body_;
};

// The bytes as UTF-8 text, or nothing when they are not valid UTF-8.
std::optional<QString> decodeUtf8Strict(const QByteArray& bytes);
