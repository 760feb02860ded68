#pragma once

#include "localllm/CommandRunner.h"
#include "platform/Errors.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>

// Puts the local model server on this machine and keeps it running: detects
// Homebrew, uv, the MLX server and the user service; installs what is missing;
// writes the systemd user unit that runs the server on the loopback interface at
// port 8080; (re)loads it with `systemctl --user`; downloads a model into the
// Hugging Face cache. Every command's output goes, line by line, to onLine (on the
// caller's thread: commands are awaited, never waited for).
namespace LocalLLMInstaller {

// One row of the detection: "brew", "uv", "mlx" or "plist" (the user service).
struct Component {
    QString id;
    QString label;
    bool installed = false;
    std::optional<QString> detail; // the path where it was found
    bool operator==(const Component&) const = default;
};

// Always the four rows brew, uv, mlx, plist, in that order.
struct Status {
    QList<Component> components;
    bool operator==(const Status&) const = default;
};

class InstallError : public OmbrixError {
public:
    enum class Kind {
        brewMissing,
        commandFailed,
        uvMissing,      // uv still absent after its installation step
        alreadyRunning, // another installation is in progress
    };
    static InstallError brewMissing() { return InstallError(Kind::brewMissing); }
    static InstallError commandFailed(QString command, int code);
    static InstallError uvMissing() { return InstallError(Kind::uvMissing); }
    static InstallError alreadyRunning() { return InstallError(Kind::alreadyRunning); }

    Kind kind() const { return kind_; }
    QString command() const { return command_; }
    int code() const { return code_; }
    QString description() const override;

private:
    explicit InstallError(Kind kind)
        : kind_(kind) {}
    Kind kind_;
    QString command_;
    int code_ = 0;
};

inline constexpr char serviceLabel[] = "com.ombrix.local-llm";
inline constexpr char unitName[] = "com.ombrix.local-llm.service";
inline constexpr char systemctlPath[] = "/usr/bin/systemctl";

// Candidate paths, in the order probed ("~" resolved against $HOME).
QStringList brewCandidates();
QStringList uvCandidates();
QStringList mlxServerCandidates();
QString unitFilePath();  // ~/.config/systemd/user/com.ombrix.local-llm.service
QString serverLogPath(); // ~/.ombrix-local-llm/server.log

// The unit file's text for a user whose home folder is home.
QString unitFileText(const QString& home);

// File-existence checks only.
Status detect();
// detect(), with the mlx-lm row counted only when MLX's compute backend imports
// through the tool's interpreter (`python -c "import mlx.core"`, bounded by
// backendProbeTimeoutMs). The file checks run on a worker thread.
QCoro::Task<Status> detectWithBackend();
inline constexpr int backendProbeTimeoutMs = 20000;
// The interpreter of uv's mlx-lm tool: $UV_TOOL_DIR, else $XDG_DATA_HOME/uv/tools,
// else ~/.local/share/uv/tools, followed by "mlx-lm/bin/python".
QString mlxToolPython();
// Whether `python -c "import mlx.core"` exits with 0 within the time.
QCoro::Task<bool> backendImports(QString python, int timeoutMs = backendProbeTimeoutMs);

// The MLX backend this machine gets: the package spec handed to uv with --with
// ("mlx[cpu]", "mlx[cuda12]" or "mlx[cuda13]") and, in French, why it was chosen.
struct MlxBackend {
    QString requirement;
    QString reason;
    bool operator==(const MlxBackend&) const = default;
};
// "/proc/driver/nvidia/version" unless replaced (tests).
QString nvidiaVersionPath();
void setNvidiaVersionPath(const QString& path);
// Chooses from the NVIDIA driver's version file: a driver of 580 or later gets
// CUDA 13, one of 525 or later CUDA 12, anything else (or no driver) the CPU.
// The file is read up to 64 KiB.
MlxBackend mlxBackend(const QString& nvidiaVersionFile = nvidiaVersionPath());
// The lowest glibc MLX's Linux wheels run on.
inline constexpr int minGlibcMajor = 2;
inline constexpr int minGlibcMinor = 35;
// Installs uv (through Homebrew, only when uv is missing) and mlx-lm, writes and
// loads the user service. The model id is accepted and not used. A second call
// while one runs throws alreadyRunning.
QCoro::Task<> install(QString model, LineHandler onLine);
// Downloads a model into the Hugging Face cache by generating one token with it,
// through mlx-lm with this machine's MLX backend.
QCoro::Task<> downloadModel(QString id, LineHandler onLine);
// Writes the unit file atomically (and creates the log folder). The model is not used.
void writeLaunchAgent(const QString& model = QString());
// stop (failure ignored), a short pause, daemon-reload and enable --now (both must
// succeed), restart (failure ignored).
QCoro::Task<> reloadLaunchAgent(LineHandler onLine);
// Runs one program; a non-zero exit throws commandFailed unless allowFailure.
QCoro::Task<> run(QString path, QStringList arguments, LineHandler onLine, bool allowFailure = false);
// The first path that exists, or none.
std::optional<QString> firstExisting(const QStringList& paths);

// The runner every command goes through (a ProcessCommandRunner unless replaced).
std::shared_ptr<CommandRunner> commandRunner();
void setCommandRunner(std::shared_ptr<CommandRunner> runner);

} // namespace LocalLLMInstaller
