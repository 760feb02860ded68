#pragma once

#include <QCoro/QCoroTask>

// Starts a task and lets it run to its end without anyone waiting for it (a
// button's action, a background refresh). Whatever it throws is dropped: such
// tasks report their failures in the state they publish.
void detachTask(QCoro::Task<> task);
// The same for a task whose result nobody needs.
template <typename T> void detachTask(QCoro::Task<T> task) {
    detachTask([](QCoro::Task<T> inner) -> QCoro::Task<> { co_await std::move(inner); }(std::move(task)));
}
