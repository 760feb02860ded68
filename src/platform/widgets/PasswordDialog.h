#pragma once

#include <QDialog>
#include <QString>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

// Asks the user's own password, showing why it is asked.
class PasswordDialog : public QDialog {
    Q_OBJECT
public:
    explicit PasswordDialog(const QString& reason, const QString& userName, QWidget* parent = nullptr);

    QString password() const;

    QLabel* reasonLabel() const { return reason_; }
    QLineEdit* passwordField() const { return field_; }
    QPushButton* confirmButton() const { return confirm_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    QLabel* reason_;
    QLineEdit* field_;
    QPushButton* confirm_;
    QPushButton* cancel_;
};

// Shows the dialog modally and returns the password, or nothing when cancelled.
// Callable from any thread: the dialog runs on the GUI thread.
std::optional<QString> runPasswordDialog(const QString& reason);

// runPasswordDialog() when a display can show it; nothing (refused at once) when
// the program runs without one.
std::optional<QString> askPasswordWithDialog(const QString& reason);

// Makes the presence gate ask the password with the dialog. Called once at start.
void installPresenceDialog();
