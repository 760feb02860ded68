#pragma once

#include <QString>

#include <exception>
#include <string>

// Base of every error the program throws. description() is the French text shown
// to the user or sent to the backend; what() carries the same text in UTF-8.
class OmbrixError : public std::exception {
public:
    virtual QString description() const = 0;
    const char* what() const noexcept override;

private:
    mutable std::string whatCache_;
};

// A failure that is just a message (transport failures, refused operations).
class MessageError : public OmbrixError {
public:
    explicit MessageError(QString message)
        : message_(std::move(message)) {}
    QString description() const override { return message_; }

private:
    QString message_;
};

// Describes any exception caught at a boundary: our own errors by their
// description, anything else by what() (or a generic French text).
QString describeException(const std::exception_ptr& error);
