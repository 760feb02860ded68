#pragma once

// A FUSE file system of the tests, served by a program of its own
// (support/fuse/TestFuseServer.cpp, started with posix_spawn): a tree held in
// memory whose every call may answer after a set delay (a network mount), one call
// at a time or in parallel, hold its listings, or stop answering altogether (a
// mount that hung). Nothing is cached by the kernel (entry and attribute time-outs
// 0, direct I/O, no cached listings): every file call of the program reaches the
// server, which counts them by kind.
//
// The server is a child process: killing it is the one sure way to end the calls
// blocked on it (the kernel then fails them), whatever state the test is in. The
// destructor kills it and detaches the mount lazily.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>

class TestFuse {
public:
    // The kinds of file call the server counts.
    enum class Op {
        Lookup,
        Getattr,
        Opendir,
        Readdir,
        Releasedir,
        Open,
        Read,
        Flush,
        Release,
        Statfs,
        Access,
        Count // (not a kind: how many there are)
    };

    struct Options {
        // Files in the tree, by path below the mount point ("a/b/partage/note.txt");
        // the folders on their way are made too. Empty folders: `folders`.
        QMap<QString, QByteArray> files;
        QStringList folders;
        // Every call answers after this delay; with `maxDelay` above it, after a
        // random delay between the two.
        std::chrono::milliseconds delay{0};
        std::chrono::milliseconds maxDelay{0};
        // One call at a time (each answered before the next is read), as some
        // servers do; otherwise every call runs out its delay in parallel.
        bool serialised = false;
        // No call is ever answered (a mount that hung from the start).
        bool answersNothing = false;
        // Listings (readdir) wait unanswered from the start until answerListings().
        bool holdListings = false;
        // The file system's name in the mount table.
        QString name = QStringLiteral("ombrixtest");
    };

    TestFuse(const QString& mountPoint, Options options);
    ~TestFuse();
    TestFuse(const TestFuse&) = delete;
    TestFuse& operator=(const TestFuse&) = delete;

    // Whether the server mounted the file system (false without /dev/fuse).
    bool mounted() const { return mounted_; }
    // Why it is not mounted: what each attempt to start the server ran into.
    std::string failure() const { return failure_.toStdString(); }
    QString mountPoint() const { return mountPoint_; }

    // From now on no call is answered, those running out their delay included.
    void hang();
    // Changes the delay of the calls received from now on.
    void setDelay(std::chrono::milliseconds delay, std::chrono::milliseconds maxDelay = {});
    // The next call of that kind (Op::Count: of any kind) answers after `delay`
    // instead of the set delay.
    void slowOnce(std::chrono::milliseconds delay, Op kind = Op::Count);
    // Answers the listings held, and holds none from now on.
    void answerListings();
    // Holds the listings received from now on.
    void holdListings();

    // Calls received, of one kind or of every kind (Op::Count).
    std::int64_t calls(Op kind = Op::Count) const;
    // Calls received and not answered yet.
    std::int64_t pending() const;
    // Forgets the calls counted so far.
    void resetCalls();

    // Detaches the mount lazily (the server keeps running and holds what it holds),
    // as `umount -l` does: the mount point shows what lies beneath it again.
    void detach();

    // Shared with the server's process (a mapping of one memory file; TestFuseControl.h).
    struct Control;

private:
    // How long a server has to say it mounted the file system.
    static constexpr int kStartMs = 20000;
    // Starts the server program and waits until it has mounted the file system and
    // answered a first call: empty then, otherwise what went wrong (the server is
    // put down).
    QString startServer(const Options& options, int controlFd, int treeFd);
    bool answersItsFirstCall(const Options& options);

    QString mountPoint_;
    Control* control_ = nullptr;
    pid_t server_ = -1;
    bool mounted_ = false;
    bool detached_ = false;
    QString failure_;
};

// Whether FUSE file systems can be mounted here.
bool fuseAvailable();
