#include "platform/widgets/PasswordDialog.h"

#include "platform/Localization.h"
#include "platform/PresenceGate.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

PasswordDialog::PasswordDialog(const QString& reason, const QString& userName, QWidget* parent)
    : QDialog(parent)
    , reason_(new QLabel(reason, this))
    , field_(new QLineEdit(this))
    , confirm_(nullptr)
    , cancel_(nullptr) {
    setWindowTitle(QStringLiteral("Ombrix"));
    setModal(true);
    reason_->setWordWrap(true);
    reason_->setTextFormat(Qt::PlainText);
    auto* prompt = new QLabel(loc("Mot de passe de %1 :").arg(userName), this);
    prompt->setTextFormat(Qt::PlainText);
    field_->setEchoMode(QLineEdit::Password);
    prompt->setBuddy(field_);

    auto* buttons = new QDialogButtonBox(this);
    cancel_ = buttons->addButton(loc("Annuler"), QDialogButtonBox::RejectRole);
    confirm_ = buttons->addButton(loc("Confirmer"), QDialogButtonBox::AcceptRole);
    confirm_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(reason_);
    layout->addWidget(prompt);
    layout->addWidget(field_);
    layout->addWidget(buttons);
    setMinimumWidth(360);
    field_->setFocus();
}

QString PasswordDialog::password() const {
    return field_->text();
}

std::optional<QString> runPasswordDialog(const QString& reason) {
    auto* app = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(app))
        return std::nullopt;
    std::optional<QString> result;
    auto ask = [&] {
        PasswordDialog dialog(reason, PamPresenceGate::currentUserName());
        dialog.raise();
        dialog.activateWindow();
        if (dialog.exec() == QDialog::Accepted)
            result = dialog.password();
    };
    if (QThread::currentThread() == app->thread())
        ask();
    else
        QMetaObject::invokeMethod(app, ask, Qt::BlockingQueuedConnection);
    return result;
}

std::optional<QString> askPasswordWithDialog(const QString& reason) {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal") || platform.isEmpty())
        return std::nullopt;
    return runPasswordDialog(reason);
}

void installPresenceDialog() {
    PamPresenceGate::setPasswordAsker(askPasswordWithDialog);
}
