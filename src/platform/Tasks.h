#pragma once

#include <QCoro/QCoroTask>

// Starts a task and lets it run to its end without anyone waiting for it (a
// button's action, a background refresh). Whatever it throws is dropped: such
// tasks report their failures in the state they publish.
void detachTask(QCoro::Task<> task);
