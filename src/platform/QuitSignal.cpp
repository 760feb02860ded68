#include "app/QuitSignal.h"

#include <atomic>

namespace QuitSignal {

namespace {
std::atomic<bool> mark{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler stores into it");
} // namespace

void raise() noexcept {
    mark.store(true, std::memory_order_seq_cst);
}

bool raised() noexcept {
    return mark.load(std::memory_order_seq_cst);
}

void resetForTesting() noexcept {
    mark.store(false, std::memory_order_seq_cst);
}

} // namespace QuitSignal
