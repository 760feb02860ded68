// A module whose load blocks, inside the dynamic loader, until the test lets it
// go: its constructor reads one byte from the FIFO named by
// OMBRIX_TEST_MODULE_GATE (no variable, no wait).
#include "platform/ModuleExport.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace {
struct Gate {
    Gate() {
        const char* fifo = std::getenv("OMBRIX_TEST_MODULE_GATE");
        if (!fifo)
            return;
        const int fd = open(fifo, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        char byte = 0;
        while (read(fd, &byte, 1) < 0 && errno == EINTR) {
        }
        close(fd);
    }
};
Gate gate;
int object = 0;
} // namespace

OMBRIX_MODULE_EXPORT(gated) {
    return &object;
}
