#pragma once

#include "platform/Json.h"
#include "platform/ShareWork.h"
#include "session/APIService.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// Sending a task's final update from a handler, which never throws: a failed
// delivery is reported to the caller (or dropped) and never retried.
namespace TaskReports {

// The "done" update; the description of the failure when it could not be sent.
QCoro::Task<std::optional<QString>> success(APIService api, QString taskId, Json result);
// The "error" update; a failure to send it is dropped.
QCoro::Task<> error(APIService api, QString taskId, QString message);

// Whether the task still waits for its answer: a result come back after it was
// answered (at its limit) touches nothing shared (the id cache, the last error).
bool isOpen(const APIService& api);
// The task's share work: its deadline, and wanted while the task is open.
ShareWork::Purpose sharePurpose(const APIService& api);

} // namespace TaskReports
