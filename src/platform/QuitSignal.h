#pragma once

// The signals that quit the program (SIGTERM, SIGINT), seen at once by whatever
// must not promise anything to a program about to end (the single instance's
// answer to a hand-over).
//
// A signal sent to the process is taken by one of its threads, any that does not
// block it: taken by another thread than the GUI thread, it may be read from the
// kernel and not yet be handled while the GUI thread answers a launch. So the
// program blocks the quit signals in every thread (blockInEveryThread(), before it
// starts any thread) and takes them on the GUI thread only, from a descriptor
// (openDescriptor(), take()): a quit signal is then either pending, which raised()
// sees, or taken, on the GUI thread itself.
//
// Blocked signals stay blocked in a child across exec: every child gets them back.
// fork() does it itself (a handler installed by blockInEveryThread(); Qt's detached
// starts, QDesktopServices among them, use it); a QProcess may start its child
// without fork()'s handlers, so its child process modifier calls releaseInChild();
// posix_spawn() is given an empty signal mask. A child that a library starts with
// posix_spawn() or vfork() on its own keeps them blocked: the program starts none
// that way.
namespace QuitSignal {

// Blocks SIGTERM and SIGINT in the calling thread, and so in every thread it
// starts from then on. Called once, first, on the main thread.
void blockInEveryThread();
// Whether the quit signals are blocked in the calling thread.
bool blocked() noexcept;
// Unblocks the quit signals: in a child process, between fork and exec
// (async-signal-safe).
void releaseInChild() noexcept;
// Unblocks the quit signals in the calling thread (the GUI thread, when it cannot
// take them from a descriptor: a handler takes them there instead).
void unblockInThisThread() noexcept;

// A descriptor (non-blocking, closed on exec) that reads when a quit signal is
// pending; -1 when the signals are not blocked in this thread or it cannot be made.
int openDescriptor();
// Takes the quit signals pending from the descriptor: true when one was taken (the
// mark is raised first).
bool take(int descriptor);

// Async-signal-safe: a lock-free atomic store.
void raise() noexcept;
// A quit signal was received: taken (the mark), or pending and not yet taken by
// any thread (blocked where it could be taken).
bool raised() noexcept;
void resetForTesting() noexcept;

} // namespace QuitSignal
