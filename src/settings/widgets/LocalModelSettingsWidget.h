#pragma once

#include <QWidget>

class LocalModelSettingsController;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

// The "LLM local" tab: a scrolling form of seven sections drawn from a
// LocalModelSettingsController, which holds every rule and action.

// The text cut to at most maxLines lines as laid out at the width (in pixels) with
// the font, the last line kept ending with "…"; unchanged when it fits.
QString limitToLines(const QString& text, const QFont& font, int width, int maxLines);

class LocalModelSettingsWidget : public QWidget {
    Q_OBJECT
public:
    explicit LocalModelSettingsWidget(QWidget* parent = nullptr);
    ~LocalModelSettingsWidget() override;

    // The test inference's answer shows at most 4 lines, its error at most 3.
    static constexpr int kTestOutputLines = 4;
    static constexpr int kTestErrorLines = 3;

    LocalModelSettingsController& controller() { return *controller_; }
    // Draws the controller's current state (called on every change).
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitDiagnosticTexts();
    void build();
    void rebuildCatalogue();
    void rebuildComponents();
    void presentDeleteDialog();

    LocalModelSettingsController* controller_;
    bool shown_ = false;
    bool dialogOpen_ = false;

    QCheckBox* enabled_ = nullptr;
    QLabel* statusDot_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QProgressBar* statusSpinner_ = nullptr;
    QPushButton* restart_ = nullptr;
    QLabel* restartBanner_ = nullptr;
    QLabel* loadedModels_ = nullptr;
    QLineEdit* endpoint_ = nullptr;
    QToolButton* picker_ = nullptr;
    QLineEdit* customModel_ = nullptr;
    QPushButton* apply_ = nullptr;
    QProgressBar* applySpinner_ = nullptr;
    QLabel* modelHint_ = nullptr;
    QLabel* ramFooter_ = nullptr;
    QVBoxLayout* catalogueRows_ = nullptr;
    QLabel* downloadLog_ = nullptr;
    QScrollArea* downloadLogView_ = nullptr;
    QLabel* catalogueError_ = nullptr;
    QVBoxLayout* componentRows_ = nullptr;
    QPushButton* install_ = nullptr;
    QProgressBar* installSpinner_ = nullptr;
    QLabel* installError_ = nullptr;
    QLabel* installLog_ = nullptr;
    QPushButton* test_ = nullptr;
    QProgressBar* testSpinner_ = nullptr;
    QLabel* testOutput_ = nullptr;
    QLabel* testError_ = nullptr;
    QString testOutputText_;
    QString testErrorText_;
    QString catalogueSignature_;
    QString componentsSignature_;
};
