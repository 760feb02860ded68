// The server of the tests' FUSE file system (support/TestFuse.h), a program of its
// own: its parent, a test program with many threads, starts it with posix_spawn, so
// that it never begins life holding a lock that one of those threads held at a fork
// (the sanitizers' allocator's, say).
//
//   ombrix_test_fuse MOUNT-POINT FS-NAME SERIALISED(0|1) PARENT-PID
//
// Descriptors 3, 4 and 5 as support/TestFuseControl.h says. It serves until it is
// killed, and never outlives its parent (PR_SET_PDEATHSIG). What fails before the
// mount is said on the standard error, and the program ends with status 1.
#include "support/TestFuseControl.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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
Server* server = nullptr;

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

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "ombrix_test_fuse: %s\n", why.c_str());
    std::fflush(stderr);
    ::_exit(1);
}

// The whole of a descriptor, from its start.
std::string readAll(int fd) {
    std::string bytes;
    char chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(std::string("cannot read the tree: ") + std::strerror(errno));
        if (n == 0)
            return bytes;
        bytes.append(chunk, static_cast<size_t>(n));
        at += n;
    }
}

template <typename Number> Number take(const std::string& bytes, size_t& at) {
    Number value{};
    if (bytes.size() - at < sizeof value)
        fail("the tree is cut short");
    std::memcpy(&value, bytes.data() + at, sizeof value);
    at += sizeof value;
    return value;
}

std::string takeBytes(const std::string& bytes, size_t& at, size_t size) {
    if (bytes.size() - at < size)
        fail("the tree is cut short");
    std::string piece = bytes.substr(at, size);
    at += size;
    return piece;
}

void readTree(Tree& tree) {
    const std::string bytes = readAll(TestFuseServer::kTreeFd);
    for (size_t at = 0; at < bytes.size();) {
        const char kind = take<char>(bytes, at);
        const QString path = QString::fromStdString(takeBytes(bytes, at, take<std::uint32_t>(bytes, at)));
        if (kind == 'f') {
            const std::string content = takeBytes(bytes, at, take<std::uint64_t>(bytes, at));
            tree.add(path, false, QByteArray::fromStdString(content));
        } else if (kind == 'd') {
            tree.add(path, true, {});
        } else {
            fail("the tree holds an entry of an unknown kind");
        }
    }
}

[[noreturn]] void serve(const char* mountPoint, const std::string& fsName) {
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
    if (!session)
        fail("fuse_session_new failed");
    if (fuse_session_mount(session, mountPoint) != 0)
        fail(std::string("cannot mount the file system at ") + mountPoint);
    std::thread(answerDue).detach();
    const char byte = 1;
    if (::write(TestFuseServer::kReadyFd, &byte, 1) != 1)
        fail("cannot say that the file system is mounted");
    ::close(TestFuseServer::kReadyFd);
    fuse_session_loop(session); // one call read at a time
    ::_exit(0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        fail("usage: ombrix_test_fuse MOUNT-POINT FS-NAME SERIALISED PARENT-PID");
    // Never outlives the test that started it (asked before the parent is looked
    // at: a parent gone already is seen below).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(std::atoll(argv[4])))
        fail("the test that started this server has ended");
    void* shared = ::mmap(nullptr, sizeof(TestFuse::Control), PROT_READ | PROT_WRITE, MAP_SHARED,
                          TestFuseServer::kControlFd, 0);
    if (shared == MAP_FAILED)
        fail(std::string("cannot map the shared counts: ") + std::strerror(errno));
    static Server made;
    made.control = static_cast<TestFuse::Control*>(shared);
    made.serialised = std::strcmp(argv[3], "1") == 0;
    readTree(made.tree);
    server = &made;
    serve(argv[1], argv[2]);
}
