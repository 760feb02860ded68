#pragma once

// What the tests' FUSE file system (TestFuse) and its server program share: a
// mapping of one memory file that both hold, the server's settings and its counts.
// The server program reads the tree from a second memory file (TestFuseTree).

#include "support/TestFuse.h"

#include <atomic>
#include <cstdint>

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

// The server program's descriptors, as its parent hands them over.
namespace TestFuseServer {
constexpr int kControlFd = 3; // the Control mapping's memory file
constexpr int kReadyFd = 4;   // a byte is written here once the file system is mounted
constexpr int kTreeFd = 5;    // the tree: entries one after the other (below), read to its end
// An entry of the tree: one byte ('f' a file, 'd' a folder), the path's length
// (4 bytes) and the path, below the mount point, in UTF-8; for a file, the
// content's length (8 bytes) and the content. Numbers in the machine's byte order.
} // namespace TestFuseServer
