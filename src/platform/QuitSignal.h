#pragma once

// A quit asked by a signal (SIGTERM, SIGINT), seen at once: the signal handler
// raises the mark itself, before the event loop has read the signal's byte and
// begun to quit. Whatever must not be promised to a program about to end (the
// single instance's answer to a hand-over) looks here first.
namespace QuitSignal {

// Async-signal-safe: a lock-free atomic store.
void raise() noexcept;
bool raised() noexcept;
void resetForTesting() noexcept;

} // namespace QuitSignal
