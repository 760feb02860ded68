#pragma once

#include <QPlainTextEdit>
#include <QWidget>

class LocalModelSettingsController;
class ProgressLog;
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

// A read-only view of the last lines of a progress log, maxHeight high, that
// keeps its newest line in view. It follows the log by appending what is new
// and dropping from the top what the log dropped; it redraws only when the log
// was emptied or moved on by more than it shows. A line shows its last
// kMaxShownChars characters: laying out a longer one (a progress bar that only
// returns the carriage, 64 KiB at a time) would cost the GUI thread more than a
// frame, for text no one reads in a view of a few lines.
class ProgressLogView : public QPlainTextEdit {
public:
    static constexpr qsizetype kMaxShownChars = 2048;

    ProgressLogView(int keepLines, int maxHeight, QWidget* parent = nullptr);
    void follow(const ProgressLog& log);
    int keptLines() const { return keepLines_; }
    // The text a log line shows as.
    static QString shown(const QString& line);

private:
    void appendLines(const QStringList& lines);
    void dropFirstLines(int count);

    int keepLines_;
    quint64 epoch_ = ~quint64(0);
    quint64 appended_ = 0;
    qsizetype shown_ = 0;
};

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
    void followLogs();

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
    ProgressLogView* downloadLog_ = nullptr;
    QLabel* catalogueError_ = nullptr;
    QVBoxLayout* componentRows_ = nullptr;
    QPushButton* install_ = nullptr;
    QProgressBar* installSpinner_ = nullptr;
    QLabel* installError_ = nullptr;
    ProgressLogView* installLog_ = nullptr;
    bool logFollowQueued_ = false;
    QPushButton* test_ = nullptr;
    QProgressBar* testSpinner_ = nullptr;
    QLabel* testOutput_ = nullptr;
    QLabel* testError_ = nullptr;
    QString testOutputText_;
    QString testErrorText_;
    QString catalogueSignature_;
    QString componentsSignature_;
};
