#include "support/TestFuse.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct TestFuse::Control {
    std::atomic<std::int64_t> delayMs{0};
    std::atomic<std::int64_t> maxDelayMs{0};
    std::atomic<bool> hung{false};
    std::atomic<bool> held{false};
    std::atomic<std::int64_t> slowMs{0};
    std::atomic<int> slowKind{0};
    std::atomic<std::int64_t> calls[static_cast<int>(Op::Count)] = {};
    std::atomic<std::int64_t> pending{0};
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared between processes");

namespace {

using Op = TestFuse::Op;

// ---- The tree ---------------------------------------------------------------------

struct Node {
    std::string name;
    fuse_ino_t parent = FUSE_ROOT_ID;
    bool folder = true;
    std::string content;
    std::map<std::string, fuse_ino_t> children;
};

struct Tree {
    std::vector<Node> nodes; // inode n at n - 1; the root is FUSE_ROOT_ID (1)

    Tree() { nodes.push_back(Node{}); }

    Node* at(fuse_ino_t ino) { return ino >= 1 && ino <= nodes.size() ? &nodes[ino - 1] : nullptr; }

    fuse_ino_t add(const QString& path, bool folder, const QByteArray& content) {
        fuse_ino_t current = FUSE_ROOT_ID;
        const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        for (int i = 0; i < parts.size(); ++i) {
            const std::string name = QFile::encodeName(parts[i]).toStdString();
            const bool last = i == parts.size() - 1;
            auto found = at(current)->children.find(name);
            if (found != at(current)->children.end()) {
                current = found->second;
                continue;
            }
            Node node;
            node.name = name;
            node.parent = current;
            node.folder = !last || folder;
            if (last && !folder)
                node.content = content.toStdString();
            nodes.push_back(std::move(node));
            const fuse_ino_t made = nodes.size();
            at(current)->children.emplace(name, made);
            current = made;
        }
        return current;
    }

    void stat(fuse_ino_t ino, struct stat& info) {
        info = {};
        const Node* node = at(ino);
        info.st_ino = ino;
        info.st_uid = ::getuid();
        info.st_gid = ::getgid();
        info.st_mtime = 1700000000;
        if (node->folder) {
            info.st_mode = S_IFDIR | 0755;
            info.st_nlink = 2;
        } else {
            info.st_mode = S_IFREG | 0644;
            info.st_nlink = 1;
            info.st_size = static_cast<off_t>(node->content.size());
        }
    }
};

// ---- The server, in the child process ---------------------------------------------

struct Server {
    Tree tree;
    TestFuse::Control* control = nullptr;
    bool serialised = false;
    std::mt19937 random{42};

    std::mutex mutex;
    std::condition_variable wake;
    std::multimap<Clock::time_point, std::function<void()>> due;
    std::vector<std::function<void()>> heldListings;
};
Server* server = nullptr; // in the server's process only

std::chrono::milliseconds delayOf(Op kind) {
    TestFuse::Control& control = *server->control;
    const int slowKind = control.slowKind.load();
    if (control.slowMs.load() > 0 &&
        (slowKind == static_cast<int>(Op::Count) || slowKind == static_cast<int>(kind))) {
        const std::int64_t slow = control.slowMs.exchange(0);
        if (slow > 0)
            return std::chrono::milliseconds(slow);
    }
    const std::int64_t low = control.delayMs.load();
    const std::int64_t high = control.maxDelayMs.load();
    if (high > low)
        return std::chrono::milliseconds(
            std::uniform_int_distribution<std::int64_t>(low, high)(server->random));
    return std::chrono::milliseconds(low);
}

// Answers a call after its delay: at once on this thread for a serialised server
// (the next call is read after it), otherwise from the answering thread. A hung
// server answers nothing, ever.
void answer(Op kind, std::function<void()> reply, bool listing = false) {
    TestFuse::Control& control = *server->control;
    ++control.calls[static_cast<int>(kind)];
    ++control.pending;
    if (control.hung)
        return;
    if (listing && control.held) {
        const std::lock_guard lock(server->mutex);
        server->heldListings.push_back(std::move(reply));
        return;
    }
    const std::chrono::milliseconds delay = delayOf(kind);
    if (server->serialised) {
        const Clock::time_point until = Clock::now() + delay;
        while (Clock::now() < until && !control.hung)
            std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), 5ms));
        if (control.hung)
            return;
        reply();
        --control.pending;
        return;
    }
    const std::lock_guard lock(server->mutex);
    server->due.emplace(Clock::now() + delay, std::move(reply));
    server->wake.notify_one();
}

// The answering thread of a parallel server, which also lets held listings go.
void answerDue() {
    TestFuse::Control& control = *server->control;
    std::unique_lock lock(server->mutex);
    while (true) {
        if (!control.held && !server->heldListings.empty()) {
            for (std::function<void()>& reply : server->heldListings)
                server->due.emplace(Clock::now(), std::move(reply));
            server->heldListings.clear();
        }
        const Clock::time_point next = server->due.empty()
                                           ? Clock::now() + 5ms
                                           : std::min(server->due.begin()->first, Clock::now() + 5ms);
        server->wake.wait_until(lock, next);
        std::vector<std::function<void()>> ready;
        const Clock::time_point now = Clock::now();
        while (!server->due.empty() && server->due.begin()->first <= now) {
            ready.push_back(std::move(server->due.begin()->second));
            server->due.erase(server->due.begin());
        }
        if (control.hung)
            continue; // never answered
        lock.unlock();
        for (std::function<void()>& reply : ready) {
            reply();
            --control.pending;
        }
        lock.lock();
    }
}

void onLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    const Node* folder = server->tree.at(parent);
    fuse_entry_param entry{};
    if (folder) {
        const auto found = folder->children.find(name);
        if (found != folder->children.end()) {
            entry.ino = found->second;
            server->tree.stat(entry.ino, entry.attr);
        }
    }
    answer(Op::Lookup, [req, entry] {
        if (entry.ino == 0)
            fuse_reply_err(req, ENOENT);
        else
            fuse_reply_entry(req, &entry); // time-outs 0: nothing cached
    });
}

void onGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat info {};
    const bool known = server->tree.at(ino) != nullptr;
    if (known)
        server->tree.stat(ino, info);
    answer(Op::Getattr, [req, info, known] {
        if (known)
            fuse_reply_attr(req, &info, 0);
        else
            fuse_reply_err(req, ENOENT);
    });
}

void onOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const Node* node = server->tree.at(ino);
    const int error = !node ? ENOENT : !node->folder ? ENOTDIR : 0;
    fuse_file_info info = *fi;
    info.cache_readdir = 0;
    info.keep_cache = 0;
    answer(Op::Opendir, [req, info, error] {
        if (error)
            fuse_reply_err(req, error);
        else
            fuse_reply_open(req, &info);
    });
}

void onReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    Node* node = server->tree.at(ino);
    std::string buffer(size, '\0');
    size_t used = 0;
    if (node && node->folder) {
        std::vector<std::pair<std::string, fuse_ino_t>> entries{{".", ino}, {"..", node->parent}};
        for (const auto& [name, child] : node->children)
            entries.emplace_back(name, child);
        for (off_t i = offset; i < static_cast<off_t>(entries.size()); ++i) {
            struct stat info {};
            server->tree.stat(entries[i].second, info);
            const char* name = entries[i].first.c_str();
            const size_t entry = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
            if (used + entry > size)
                break;
            fuse_add_direntry(req, buffer.data() + used, size - used, name, &info, i + 1);
            used += entry;
        }
    }
    buffer.resize(used);
    answer(
        Op::Readdir, [req, buffer] { fuse_reply_buf(req, buffer.data(), buffer.size()); }, true);
}

void onReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
    answer(Op::Releasedir, [req] { fuse_reply_err(req, 0); });
}

void onOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const Node* node = server->tree.at(ino);
    const int error = !node                                 ? ENOENT
                      : node->folder                        ? EISDIR
                      : (fi->flags & O_ACCMODE) != O_RDONLY ? EACCES
                                                            : 0;
    fuse_file_info info = *fi;
    info.direct_io = 1; // no page cache: every read reaches us
    info.keep_cache = 0;
    answer(Op::Open, [req, info, error] {
        if (error)
            fuse_reply_err(req, error);
        else
            fuse_reply_open(req, &info);
    });
}

void onRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    const Node* node = server->tree.at(ino);
    std::string piece;
    if (node && !node->folder && offset < static_cast<off_t>(node->content.size()))
        piece = node->content.substr(static_cast<size_t>(offset), size);
    answer(Op::Read, [req, piece] { fuse_reply_buf(req, piece.data(), piece.size()); });
}

void onFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
    answer(Op::Flush, [req] { fuse_reply_err(req, 0); });
}

void onRelease(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
    answer(Op::Release, [req] { fuse_reply_err(req, 0); });
}

void onStatfs(fuse_req_t req, fuse_ino_t) {
    answer(Op::Statfs, [req] {
        struct statvfs info {};
        info.f_bsize = 4096;
        info.f_frsize = 4096;
        info.f_blocks = 1 << 20;
        info.f_bfree = 1 << 19;
        info.f_bavail = 1 << 19;
        info.f_files = 1 << 16;
        info.f_ffree = 1 << 15;
        info.f_namemax = 255;
        fuse_reply_statfs(req, &info);
    });
}

void onAccess(fuse_req_t req, fuse_ino_t, int) {
    answer(Op::Access, [req] { fuse_reply_err(req, 0); });
}

[[noreturn]] void serve(const char* mountPoint, const std::string& fsName, int ready) {
    fuse_lowlevel_ops ops{};
    ops.lookup = onLookup;
    ops.getattr = onGetattr;
    ops.opendir = onOpendir;
    ops.readdir = onReaddir;
    ops.releasedir = onReleasedir;
    ops.open = onOpen;
    ops.read = onRead;
    ops.flush = onFlush;
    ops.release = onRelease;
    ops.statfs = onStatfs;
    ops.access = onAccess;
    std::string program = "testfuse";
    std::string option = "-o";
    std::string name = "fsname=" + fsName;
    char* argv[] = {program.data(), option.data(), name.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (!session || fuse_session_mount(session, mountPoint) != 0)
        ::_exit(1);
    std::thread(answerDue).detach();
    const char byte = 1;
    if (::write(ready, &byte, 1) != 1)
        ::_exit(1);
    fuse_session_loop(session); // one call read at a time
    ::_exit(0);
}

} // namespace

TestFuse::TestFuse(const QString& mountPoint, Options options)
    : mountPoint_(mountPoint) {
    QDir().mkpath(mountPoint);
    void* shared =
        ::mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return;
    control_ = new (shared) Control;
    control_->delayMs = options.delay.count();
    control_->maxDelayMs = options.maxDelay.count();
    control_->hung = options.answersNothing;
    control_->held = options.holdListings;
    control_->slowKind = static_cast<int>(Op::Count);
    if (!fuseAvailable())
        return;
    // The tree is made here and taken along by the fork.
    static Server made;
    made.tree = Tree();
    for (auto it = options.files.cbegin(); it != options.files.cend(); ++it)
        made.tree.add(it.key(), false, it.value());
    for (const QString& folder : std::as_const(options.folders))
        made.tree.add(folder, true, {});
    made.control = control_;
    made.serialised = options.serialised;
    const QByteArray point = QFile::encodeName(mountPoint);
    const std::string fsName = options.name.toStdString();
    // A child forked from a program whose other threads hold a lock (the sanitizers'
    // allocator's, say) may never take it: a server that does not answer its first
    // call is put down and forked again. (One that answers nothing is not asked.)
    for (int attempt = 0; attempt < 3; ++attempt) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        server_ = ::fork();
        if (server_ == 0) {
            ::close(ready[0]);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the test
            server = &made;
            serve(point.constData(), fsName, ready[1]);
        }
        ::close(ready[1]);
        // Mounted once the server says so (bounded: a server that fails says nothing).
        pollfd waiting{ready[0], POLLIN, 0};
        char byte = 0;
        mounted_ = server_ > 0 && ::poll(&waiting, 1, 20000) == 1 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (!mounted_ || options.answersNothing || answersItsFirstCall(options))
            break;
        ::kill(server_, SIGKILL);
        ::waitpid(server_, nullptr, 0);
        QProcess::execute(QStringLiteral("fusermount3"),
                          {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint_});
        mounted_ = false;
    }
    resetCalls();
}

// A statfs of the mount point, answered within its delay and far more.
bool TestFuse::answersItsFirstCall(const Options& options) {
    const auto answered = std::make_shared<std::atomic<bool>>(false);
    const QByteArray point = QFile::encodeName(mountPoint_);
    std::thread([answered, point] {
        struct statfs info {};
        ::statfs(point.constData(), &info);
        *answered = true;
    }).detach(); // (ends when the server goes, answered or not)
    const auto until = Clock::now() + std::max(options.delay, options.maxDelay) + 10s;
    while (!*answered && Clock::now() < until)
        std::this_thread::sleep_for(5ms);
    return *answered;
}

TestFuse::~TestFuse() {
    if (server_ > 0) {
        ::kill(server_, SIGKILL);
        for (int i = 0; i < 500 && ::waitpid(server_, nullptr, WNOHANG) == 0; ++i)
            ::usleep(10000);
    }
    if (mounted_ && !detached_)
        // Detached even while something still holds it.
        QProcess::execute(QStringLiteral("fusermount3"),
                          {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint_});
    // (The shared mapping stays: a thread of the program may still read the counts.)
}

void TestFuse::hang() {
    if (control_)
        control_->hung = true;
}

void TestFuse::setDelay(std::chrono::milliseconds delay, std::chrono::milliseconds maxDelay) {
    if (!control_)
        return;
    control_->delayMs = delay.count();
    control_->maxDelayMs = maxDelay.count();
}

void TestFuse::slowOnce(std::chrono::milliseconds delay, Op kind) {
    if (!control_)
        return;
    control_->slowKind = static_cast<int>(kind);
    control_->slowMs = delay.count();
}

void TestFuse::answerListings() {
    if (control_)
        control_->held = false;
}

void TestFuse::holdListings() {
    if (control_)
        control_->held = true;
}

std::int64_t TestFuse::calls(Op kind) const {
    if (!control_)
        return 0;
    if (kind != Op::Count)
        return control_->calls[static_cast<int>(kind)].load();
    std::int64_t total = 0;
    for (const std::atomic<std::int64_t>& count : control_->calls)
        total += count.load();
    return total;
}

std::int64_t TestFuse::pending() const {
    return control_ ? control_->pending.load() : 0;
}

void TestFuse::resetCalls() {
    if (!control_)
        return;
    for (std::atomic<std::int64_t>& count : control_->calls)
        count = 0;
}

void TestFuse::detach() {
    if (mounted_ && !detached_)
        QProcess::execute(QStringLiteral("fusermount3"),
                          {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint_});
    detached_ = true;
}

bool fuseAvailable() {
    return QFile::exists(QStringLiteral("/dev/fuse"));
}
