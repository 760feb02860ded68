#include "bridge/TaskReports.h"

#include "platform/Errors.h"
#include "platform/Log.h"

namespace TaskReports {

QCoro::Task<std::optional<QString>> success(APIService api, QString taskId, Json result) {
    try {
        co_await api.reportBridgeTaskSuccess(taskId, result);
    } catch (...) {
        const QString failure = describeException(std::current_exception());
        qCInfo(lcBridge) << "done update not delivered:" << failure;
        co_return failure;
    }
    co_return std::nullopt;
}

QCoro::Task<> error(APIService api, QString taskId, QString message) {
    try {
        co_await api.reportBridgeTaskError(taskId, message);
    } catch (...) {
        qCInfo(lcBridge) << "error update not delivered:" << describeException(std::current_exception());
    }
}

bool isOpen(const APIService& api) {
    return !api.taskAnswer || api.taskAnswer->isOpen();
}

ShareWork::Purpose sharePurpose(const APIService& api) {
    ShareWork::Purpose purpose;
    purpose.deadline = api.taskDeadline;
    if (const std::shared_ptr<TaskAnswer> answer = api.taskAnswer)
        purpose.wanted = [answer] { return answer->isOpen(); };
    return purpose;
}

} // namespace TaskReports
