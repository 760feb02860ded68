#include "content/widgets/MediaDialogs.h"

#include "content/PhotoOpener.h"
#include "platform/Localization.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QPointer>
#include <QPushButton>

#include <QCoro/QCoroSignal>

PhotoConsentDialog::PhotoConsentDialog(QWidget* parent)
    : QMessageBox(parent) {
    setIcon(QMessageBox::Question);
    setWindowTitle(loc("Photos"));
    setText(loc("Ombrix souhaite accéder à vos photos."));
    setInformativeText(
        loc("Ombrix lira les images de votre dossier Images (dates et lieux de prise de vue) pour "
            "répondre à vos demandes. Vous pourrez changer d'avis dans les Réglages."));
    allow_ = addButton(loc("Autoriser"), QMessageBox::AcceptRole);
    refuse_ = addButton(loc("Refuser"), QMessageBox::RejectRole);
    setDefaultButton(refuse_);
    setEscapeButton(refuse_);
}

bool canShowDialogs() {
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != QLatin1String("offscreen") &&
           platform != QLatin1String("minimal") && QGuiApplication::primaryScreen() != nullptr;
}

QCoro::Task<std::optional<bool>> askPhotoConsent() {
    if (!canShowDialogs())
        co_return std::nullopt;
    QPointer<PhotoConsentDialog> dialog = new PhotoConsentDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->open();
    dialog->raise();
    dialog->activateWindow();
    co_await qCoro(dialog.data(), &QDialog::finished);
    if (!dialog)
        co_return false;
    const bool granted = dialog->granted();
    dialog->deleteLater();
    co_return granted;
}

namespace {
void showPhotoAlert(const QString& message, const QString& informativeText) {
    if (!canShowDialogs())
        return;
    auto* box = new QMessageBox(QMessageBox::Warning, message, message, QMessageBox::Ok);
    box->setInformativeText(informativeText);
    box->setTextFormat(Qt::PlainText); // after the informative text: it applies to both labels
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
} // namespace

void installMediaDialogs() {
    PhotoOpener::setAlertPresenter(showPhotoAlert);
}
