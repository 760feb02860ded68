#pragma once

#include <QMessageBox>
#include <QPushButton>

#include <QCoro/QCoroTask>

#include <optional>

// The question asked once before the photo library is read.
class PhotoConsentDialog : public QMessageBox {
    Q_OBJECT
public:
    explicit PhotoConsentDialog(QWidget* parent = nullptr);

    QPushButton* allowButton() const { return allow_; }
    QPushButton* refuseButton() const { return refuse_; }
    // Whether the user allowed access (false until then, and when the dialog was closed).
    bool granted() const { return clickedButton() == allow_; }

private:
    QPushButton* allow_;
    QPushButton* refuse_;
};

// Whether a dialog can be shown to someone (not the offscreen or minimal platform).
bool canShowDialogs();

// Asks the question without blocking the GUI thread; nothing when there is no display.
QCoro::Task<std::optional<bool>> askPhotoConsent();

// Installs the photo opener's alert. (The program hands askPhotoConsent to the
// photos task handler itself: the bridge lies above this layer.)
void installMediaDialogs();
