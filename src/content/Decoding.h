#pragma once

#include "content/DecoderProtocol.h"
#include "platform/Errors.h"

#include <QDeadlineTimer>
#include <QString>

#include <chrono>
#include <optional>

// Decoding of files' bytes by the third-party decoders (images of every format,
// PDF text and pages, text recognition, photo metadata) happens in worker
// processes, never in the program: ombrix-decoder, found like the modules. The
// program opens the file itself and hands the worker the open descriptor; the
// worker opens no path of its own, makes no connection (seccomp), dies with the
// program and is killed when it passes its memory or thread bound (busy or idle)
// or its request's deadline (watched until the last byte of the answer), when it
// crashes, when its answer passes what was asked, or
// when it says anything but the answer to the request it was given
// (DecoderProtocol.h): the request then fails with DecodeError and the next one
// gets a fresh worker. Workers start on first use, at most min(4, CPUs)
// at once, and end after a minute without work.

// A file that a worker could not decode.
class DecodeError : public OmbrixError {
public:
    enum class Reason { TooLarge, TooLong, Crashed };
    // `reachedWorker` false: the file was never handed to a worker (none was free in
    // time, or one could not start or died before it was given the file), so the
    // failure says nothing of the file.
    DecodeError(Reason reason, QString fileName, bool reachedWorker = true)
        : reason_(reason)
        , fileName_(std::move(fileName))
        , reachedWorker_(reachedWorker) {}
    Reason reason() const { return reason_; }
    QString fileName() const { return fileName_; }
    bool reachedWorker() const { return reachedWorker_; }
    // "Le fichier « <name> » n'a pas pu être décodé : trop volumineux." (or "trop
    // long", or "il a fait échouer le décodeur").
    QString description() const override;

private:
    Reason reason_;
    QString fileName_;
    bool reachedWorker_;
};

namespace Decoding {

// What a worker is set up for (the modules it loads before it is sealed).
enum class Profile { Images, Pdf, Ocr, Photos };

// The deadline of a decode or a render, and of the text recognition of one page.
inline constexpr std::chrono::milliseconds kDecodeDeadline{30000};
inline constexpr std::chrono::milliseconds kOcrPageDeadline{60000};
// However often a worker says it is making progress, a request ends by then from
// its start: the time limit of a bridge task.
inline constexpr std::chrono::milliseconds kProgressCap{120000};

// A worker's memory bound: it is killed once its resident memory passes
// kMemoryKillBytes, checked every few milliseconds while it works and every
// kIdleWatchInterval while it waits, so that it stays under 1 GiB. Its threads are
// bounded the same way: past threadBound() it is killed as too large.
inline constexpr qint64 kMemoryBoundBytes = 1024LL * 1024 * 1024;
inline constexpr qint64 kMemoryKillBytes = 768LL * 1024 * 1024;
inline constexpr std::chrono::milliseconds kIdleWatchInterval{500};
// 64 threads and one per CPU.
int threadBound();

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
    // -1 when the file could not be opened or is no regular file. A descriptor
    // path of this process is not opened again (ContentFiles::ReadableFile).
    int fd() const { return fd_; }
    // The errno of the failure (0 when open, or when the file is no regular file).
    int error() const { return error_; }
    qint64 size() const { return size_; }

private:
    int fd_ = -1;
    int error_ = 0;
    qint64 size_ = 0;
    bool owned_ = true; // false: a descriptor path's own descriptor, left open
};

// Runs `request` in a worker of `profile` on the open file `fd` (-1: none; the
// descriptor stays the caller's) and returns the worker's Done answer. The
// operation's time (DecoderProtocol's table: its budget, renewed by progress up to
// its cap), never past the task's deadline. Blocks: never call it on the GUI
// thread. Throws the error the operation worded (OcrError, ExtractorError,
// ModuleError, MessageError), DecodeError naming `fileName` when the worker fails,
// and MessageError when no worker can start.
DecoderProtocol::Answer run(Profile profile, DecoderProtocol::Request request, int fd,
                            const QString& fileName);

// The name a file is shown under: `typeName`'s file name when given, else that of
// `path` (for a /proc/self/fd/N path, of the file it leads to).
QString displayName(const QString& path, const QString& typeName = QString());

// Where ombrix-decoder is found: next to the program, then in
// <bindir>/../<libexecdir>/ombrix, then in <libexecdir>/ombrix.
QString workerPath();

// Workers alive now.
int liveWorkers();
// At the program's end (Lifetime): every worker is killed (those decoding too:
// their callers see the worker's end) and none starts any more. Waits for nothing.
void endWorkers();
// The most resident memory any ended worker reached (its peak, as the kernel counted it).
qint64 peakWorkerMemoryForTesting();
// Ends every idle worker now and waits until every ended worker is reaped.
void stopIdleWorkersForTesting();
// How long a worker waits for work before it ends (default 60 s).
void setIdleTimeoutForTesting(std::chrono::milliseconds timeout);
// Replaces the progress cap of every operation (nothing: the table's).
void setProgressCapForTesting(std::optional<std::chrono::milliseconds> cap);
// How many workers have been started so far.
int startedWorkersForTesting();

} // namespace Decoding
