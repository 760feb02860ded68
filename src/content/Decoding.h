#pragma once

#include "platform/Errors.h"

#include <QDeadlineTimer>
#include <QString>
#include <QVariantMap>

#include <chrono>

// Decoding of files' bytes by the third-party decoders (images of every format,
// PDF text and pages, text recognition, photo metadata) happens in worker
// processes, never in the program: ombrix-decoder, found like the modules. The
// program opens the file itself and hands the worker the open descriptor; the
// worker opens no path of its own, makes no connection (seccomp), dies with the
// program and is killed when it passes its memory bound or its request's
// deadline, or when it crashes: the request then fails with DecodeError and the
// next one gets a fresh worker. Workers start on first use, at most min(4, CPUs)
// at once, and end after a minute without work.

// A file that a worker could not decode.
class DecodeError : public OmbrixError {
public:
    enum class Reason { TooLarge, TooLong, Crashed };
    DecodeError(Reason reason, QString fileName)
        : reason_(reason)
        , fileName_(std::move(fileName)) {}
    Reason reason() const { return reason_; }
    QString fileName() const { return fileName_; }
    // "Le fichier « <name> » n'a pas pu être décodé : trop volumineux." (or "trop
    // long", or "il a fait échouer le décodeur").
    QString description() const override;

private:
    Reason reason_;
    QString fileName_;
};

namespace Decoding {

// What a worker is set up for (the modules it loads before it is sealed).
enum class Profile { Images, Pdf, Ocr, Photos };

// The deadline of a decode or a render, and of the text recognition of one page.
inline constexpr std::chrono::milliseconds kDecodeDeadline{30000};
inline constexpr std::chrono::milliseconds kOcrPageDeadline{60000};

// A worker's memory bound: it is killed once its resident memory passes
// kMemoryKillBytes, checked every few milliseconds, so that it stays under 1 GiB.
inline constexpr qint64 kMemoryBoundBytes = 1024LL * 1024 * 1024;
inline constexpr qint64 kMemoryKillBytes = 768LL * 1024 * 1024;

// Within its scope, requests made on this thread end by `deadline` at the latest
// (a task's own remaining time). Scopes nest: the earlier deadline holds.
class TaskDeadline {
public:
    explicit TaskDeadline(QDeadlineTimer deadline);
    ~TaskDeadline();
    TaskDeadline(const TaskDeadline&) = delete;
    TaskDeadline& operator=(const TaskDeadline&) = delete;
    // The deadline in force on this thread (Forever outside any scope).
    static QDeadlineTimer current();

private:
    QDeadlineTimer previous_;
};

// A file opened by the program for a worker: read-only, without waiting (a FIFO
// is not waited on), regular files only.
class OpenedFile {
public:
    explicit OpenedFile(const QString& path);
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    // -1 when the file could not be opened or is no regular file.
    int fd() const { return fd_; }
    // The errno of the failure (0 when open, or when the file is no regular file).
    int error() const { return error_; }
    qint64 size() const { return size_; }

private:
    int fd_ = -1;
    int error_ = 0;
    qint64 size_ = 0;
};

// Runs `request` ({"op": …, …}) in a worker of `profile` on the open file `fd`
// (-1: none; the descriptor stays the caller's) and returns the worker's answer:
// {"type": "done", …} or {"type": "error", …} (a failure the operation words
// itself). At most `budget` (which "progress" answers renew), never past the
// task's deadline. Blocks: never call it on the GUI thread. Throws DecodeError
// naming `fileName`, ModuleError when a module the request needs is missing, and
// MessageError when no worker can start.
QVariantMap run(Profile profile, const QVariantMap& request, int fd, const QString& fileName,
                std::chrono::milliseconds budget);

// The name a file is shown under: `typeName`'s file name when given, else that of
// `path` (for a /proc/self/fd/N path, of the file it leads to).
QString displayName(const QString& path, const QString& typeName = QString());

// Where ombrix-decoder is found: next to the program, then in
// <bindir>/../<libexecdir>/ombrix, then in <libexecdir>/ombrix.
QString workerPath();

// Workers alive now.
int liveWorkers();
// The most resident memory any ended worker reached (its peak, as the kernel counted it).
qint64 peakWorkerMemoryForTesting();
// Ends every idle worker now and waits until every ended worker is reaped.
void stopIdleWorkersForTesting();
// How long a worker waits for work before it ends (default 60 s).
void setIdleTimeoutForTesting(std::chrono::milliseconds timeout);

} // namespace Decoding
