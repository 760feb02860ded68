#pragma once

#include "localllm/LocalLLMCatalog.h"
#include "localllm/LocalLLMInstaller.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>
#include <optional>

class HttpAbortGroup;

// The tab's progress log: the newest output lines of the running operation, at most
// a number of lines and 256 KiB (as UTF-8) in all; a single longer line keeps its
// end. Views follow it by what was appended since they last looked (and the
// epoch, which changes when it is emptied), so a line costs them one append, never
// a redraw of the whole text.
class ProgressLog {
public:
    static constexpr qsizetype kMaxBytes = 256 * 1024;

    void clear();
    void append(const QString& line, int maxLines);
    const QStringList& lines() const { return lines_; }
    bool isEmpty() const { return lines_.isEmpty(); }
    qsizetype bytes() const { return bytes_; }
    quint64 epoch() const { return epoch_; }
    quint64 appended() const { return appended_; }

    // The UTF-8 size of the text, without converting it.
    static qsizetype utf8Size(QStringView text);
    // The end of the text in at most maxUnits UTF-16 units, cut before a whole
    // character and marked "…" when it was longer.
    static QString lastCharacters(const QString& text, qsizetype maxUnits);

private:
    static QString cutBefore(const QString& text, qsizetype start);

    QStringList lines_;
    QList<qsizetype> sizes_;
    qsizetype bytes_ = 0;
    quint64 epoch_ = 0;
    quint64 appended_ = 0;
};

// The state and actions of the "LLM local" settings tab, without widgets: the
// server's health and its control (restart, apply a model), the model catalogue
// with download and delete, the runtime's installation and one test inference.
// Lives on the GUI thread; every action is a coroutine that suspends on the
// network, the installer's commands or a worker thread, never blocks.
class LocalModelSettingsController : public QObject {
    Q_OBJECT
public:
    class HealthStatus {
    public:
        enum class Kind { Unknown, Checking, Ok, Down };
        static HealthStatus unknown() { return HealthStatus(Kind::Unknown); }
        static HealthStatus checking() { return HealthStatus(Kind::Checking); }
        static HealthStatus ok() { return HealthStatus(Kind::Ok); }
        static HealthStatus down(QString message) { return HealthStatus(Kind::Down, std::move(message)); }
        Kind kind() const { return kind_; }
        QString message() const { return message_; }
        bool operator==(const HealthStatus&) const = default;

    private:
        explicit HealthStatus(Kind kind, QString message = QString())
            : kind_(kind)
            , message_(std::move(message)) {}
        Kind kind_;
        QString message_;
    };

    // Waits and time-outs; tests shorten them.
    struct Timing {
        int pollPauseMs = 2000;
        int healthTimeoutMs = 5000;
        int testTimeoutMs = 60000;
        int restartPollSeconds = 45;
        int applyPollSeconds = 120;
        int installPollSeconds = 45;
    };

    // The lines kept in the progress log: an installation keeps its last 200; the
    // other operations their last 1,000.
    static constexpr int kInstallLogLines = 200;
    static constexpr int kOperationLogLines = 1000;
    // The most of a server answer read into memory.
    static constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

    explicit LocalModelSettingsController(QObject* parent = nullptr);
    ~LocalModelSettingsController() override;

    void setTiming(const Timing& timing) { timing_ = timing; }
    // Tests replace how the log folder is shown in the file manager.
    void setFolderRevealer(std::function<void(const QString& folder)> reveal) {
        revealFolder_ = std::move(reveal);
    }

    // State.
    HealthStatus healthStatus() const { return healthStatus_; }
    QStringList availableModels() const { return availableModels_; }
    std::optional<QString> testOutput() const { return testOutput_; }
    std::optional<QString> testError() const { return testError_; }
    bool isTesting() const { return isTesting_; }
    LocalLLMInstaller::Status installStatus() const { return installStatus_; }
    QStringList installLog() const { return installLog_.lines(); }
    const ProgressLog& progressLog() const { return installLog_; }
    bool isInstalling() const { return isInstalling_; }
    std::optional<QString> installError() const { return installError_; }
    bool isRestarting() const { return isRestarting_; }
    bool isApplying() const { return isApplying_; }
    QSet<QString> downloadedModelIds() const { return downloadedModelIds_; }
    std::optional<QString> downloadingId() const { return downloadingId_; }
    std::optional<QString> deletingId() const { return deletingId_; }
    std::optional<LocalLLMModel> pendingDeleteModel() const { return pendingDeleteModel_; }
    QList<LocalLLMModel> catalogModels() const { return catalogModels_; }
    double machineRamGB() const { return machineRamGB_; }
    void setMachineRamGB(double gib) { machineRamGB_ = gib; }

    // Derived texts and rules.
    QString healthLabel() const;
    bool isCustomModel() const;
    QString modelHint() const;
    QString ramFooter() const;
    // Restart, apply and install exclude one another.
    bool serverOperationRunning() const { return isRestarting_ || isApplying_ || isInstalling_; }
    bool canRestart() const { return !serverOperationRunning(); }
    bool canApply() const;
    bool canInstall() const { return !serverOperationRunning(); }
    bool canTest() const;
    bool spinnerInStatusRow() const;
    QString installButtonTitle() const;
    // Rows of the catalogue: what the trailing control of a model's row shows.
    enum class RowControl { Downloaded, Downloading, Deleting, DownloadButton };
    RowControl rowControl(const LocalLLMModel& model) const;
    bool rowActionsEnabled() const { return !downloadingId_ && !deletingId_; }
    bool showsDownloadLog() const { return downloadingId_ && !installLog_.isEmpty(); }
    static constexpr int kDownloadLogTailLines = 8;
    QStringList downloadLogTail() const; // the last 8 lines
    std::optional<QString> catalogErrorLine() const;
    QString deleteDialogTitle() const;
    QString deleteButtonTitle() const;

    // Actions.
    QCoro::Task<> onShown();
    void onHidden();
    QCoro::Task<> checkHealth();
    QCoro::Task<> pollHealthUntilUp(int seconds);
    QCoro::Task<> restartServer();
    QCoro::Task<> applyModel();
    QCoro::Task<> download(LocalLLMModel model);
    void requestDelete(const LocalLLMModel& model);
    void cancelDelete();
    // Deletes the pending model (the dialog's confirmation).
    QCoro::Task<> confirmDelete();
    QCoro::Task<> deleteModel(LocalLLMModel model);
    QCoro::Task<> runInstall();
    QCoro::Task<> runTest();
    // Detects the runtime's components again (off the GUI thread, the MLX backend
    // probed through the tool's interpreter).
    QCoro::Task<> redetect();
    QCoro::Task<> openLogs();

signals:
    // Any state but the log's lines; also when the log is emptied or gets its
    // first line.
    void changed();
    // Lines were added to the log (many may come in one burst).
    void logAppended();

private:
    enum class LogLimit { Install, Operation };
    void appendLine(const QString& line, LogLimit limit);
    void clearLog();
    LineHandler lineSink(LogLimit limit);
    void setHealth(const HealthStatus& status);
    QCoro::Task<bool> reloadServer(const QString& model);
    // A guard that outlives the controller: coroutines check it after each wait.
    std::weak_ptr<int> alive() const { return alive_; }

    Timing timing_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::function<void(const QString&)> revealFolder_;

    HealthStatus healthStatus_ = HealthStatus::unknown();
    QStringList availableModels_;
    std::optional<QString> testOutput_;
    std::optional<QString> testError_;
    bool isTesting_ = false;
    LocalLLMInstaller::Status installStatus_;
    ProgressLog installLog_;
    bool isInstalling_ = false;
    std::optional<QString> installError_;
    bool isRestarting_ = false;
    bool isApplying_ = false;
    QSet<QString> downloadedModelIds_;
    std::optional<QString> downloadingId_;
    std::optional<QString> deletingId_;
    std::optional<LocalLLMModel> pendingDeleteModel_;
    QList<LocalLLMModel> catalogModels_;
    double machineRamGB_ = 0;

    // Health checks: each has a generation; a newer check, or hiding the tab,
    // aborts the running one, which then publishes nothing.
    quint64 healthGeneration_ = 0;
    std::unique_ptr<HttpAbortGroup> healthRequests_;
    quint64 shownGeneration_ = 0;
    quint64 detectGeneration_ = 0;
};

// Shows a folder in the desktop's file manager (org.freedesktop.FileManager1),
// opening it with its default application when no file manager answers.
void revealFolderInFileManager(const QString& folder);
