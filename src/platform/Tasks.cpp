#include "platform/Tasks.h"

void detachTask(QCoro::Task<> task) {
    [](QCoro::Task<> inner) -> QCoro::Task<> {
        try {
            co_await std::move(inner);
        } catch (...) {
        }
    }(std::move(task));
}
