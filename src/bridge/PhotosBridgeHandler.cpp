#include "bridge/PhotosBridgeHandler.h"

#include "bridge/TaskReports.h"
#include "content/ContentFiles.h"
#include "content/Decoding.h"
#include "platform/DefaultsStore.h"
#include "platform/Localization.h"
#include "platform/ShareWork.h"

#include <QObject>
#include <QTimeZone>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>

#include <algorithm>

namespace PhotosBridgeHandler {

namespace {

constexpr int kDefaultLimit = 10;
constexpr int kMaxLimit = 30;

const char* const kAccessRefused =
    "Accès Photos refusé. Allez dans Réglages Système → Confidentialité → Photos pour autoriser Ombrix.";

ConsentAsker& consentAsker() {
    static ConsentAsker asker;
    return asker;
}

// The question being asked, so that later callers wait for its answer.
class PendingConsent : public QObject {
    Q_OBJECT
signals:
    void answered(bool granted);
};
PendingConsent* pending = nullptr;

std::optional<qint64> checkedAdd(qint64 a, qint64 b) {
    qint64 sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return std::nullopt;
    return sum;
}

// Midnight of the first day of (year, month), months rolling over into years.
std::optional<QDateTime> firstOfMonth(qint64 year, qint64 month) {
    const std::optional<qint64> zeroBased = checkedAdd(month, -1);
    if (!zeroBased)
        return std::nullopt;
    qint64 carry = *zeroBased / 12; // floor division, without overflow at the extremes
    qint64 monthInYear = *zeroBased % 12;
    if (monthInYear < 0) {
        monthInYear += 12;
        carry -= 1;
    }
    monthInYear += 1;
    const std::optional<qint64> fullYear = checkedAdd(year, carry);
    if (!fullYear || *fullYear < -100000 || *fullYear > 100000)
        return std::nullopt;
    const QDate date(int(*fullYear), int(monthInYear), 1);
    if (!date.isValid())
        return std::nullopt;
    QDateTime start(date, QTime(0, 0), Qt::LocalTime);
    // Where the clocks skip midnight (summer time starting at 00:00, as in Paraguay),
    // the day begins at the first minute that exists.
    for (int minute = 1; !start.isValid() && minute < 24 * 60; ++minute)
        start = QDateTime(date, QTime(0, 0).addSecs(minute * 60), Qt::LocalTime);
    if (!start.isValid())
        return std::nullopt;
    return start;
}

} // namespace

AuthorizationStatus authorizationStatus() {
    const std::optional<bool> stored = DefaultsStore::shared().boolValue(QString::fromLatin1(kAccessKey));
    if (!stored)
        return AuthorizationStatus::NotDetermined;
    return *stored ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
}

void setConsentAsker(ConsentAsker asker) {
    consentAsker() = std::move(asker);
}

QCoro::Task<bool> ensureAuthorized() {
    switch (authorizationStatus()) {
    case AuthorizationStatus::Authorized:
        co_return true;
    case AuthorizationStatus::Denied:
        co_return false;
    case AuthorizationStatus::NotDetermined:
        break;
    }
    if (pending) {
        const bool granted = co_await qCoro(pending, &PendingConsent::answered);
        co_return granted;
    }
    const ConsentAsker asker = consentAsker();
    if (!asker)
        co_return false;
    PendingConsent* question = new PendingConsent;
    pending = question;
    std::optional<bool> answer;
    try {
        answer = co_await asker();
    } catch (...) {
        answer.reset();
    }
    if (answer)
        DefaultsStore::shared().setBool(QString::fromLatin1(kAccessKey), *answer);
    pending = nullptr;
    const bool granted = answer.value_or(false);
    emit question->answered(granted);
    question->deleteLater();
    co_return granted;
}

std::optional<PhotoLibrary::DateRange> period(qint64 year, std::optional<qint64> month) {
    const std::optional<QDateTime> start = firstOfMonth(year, month.value_or(1));
    std::optional<QDateTime> end;
    if (month) {
        if (const std::optional<qint64> next = checkedAdd(*month, 1))
            end = firstOfMonth(year, *next);
    } else if (const std::optional<qint64> nextYear = checkedAdd(year, 1)) {
        end = firstOfMonth(*nextYear, 1);
    }
    if (!start || !end)
        return std::nullopt;
    return PhotoLibrary::DateRange{*start, *end};
}

int clampedLimit(std::optional<qint64> limit) {
    if (!limit)
        return kDefaultLimit;
    return int(std::clamp<qint64>(*limit, 1, kMaxLimit));
}

QString mimeForTypeIdentifier(const QString& typeIdentifier) {
    if (typeIdentifier == QLatin1String("public.png"))
        return QStringLiteral("image/png");
    if (typeIdentifier == QLatin1String("public.heic"))
        return QStringLiteral("image/heic");
    if (typeIdentifier == QLatin1String("public.tiff"))
        return QStringLiteral("image/tiff");
    if (typeIdentifier == QLatin1String("com.compuserve.gif"))
        return QStringLiteral("image/gif");
    return QStringLiteral("image/jpeg");
}

QList<BridgePhotosResult::Item> fetchItems(std::optional<qint64> limit,
                                           const std::optional<PhotoLibrary::DateRange>& datePredicate) {
    QList<BridgePhotosResult::Item> items;
    for (const PhotoLibrary::Asset& asset : PhotoLibrary::fetchAssets(clampedLimit(limit), datePredicate)) {
        BridgePhotosResult::Item item;
        item.id = asset.id;
        item.name = asset.name.isEmpty() ? QStringLiteral("(unnamed)") : asset.name;
        if (asset.creationDate)
            item.taken_at = ContentFiles::isoDateText(*asset.creationDate);
        item.mime = mimeForTypeIdentifier(asset.typeIdentifier);
        if (asset.location)
            item.location = BridgePhotosResult::Item::Location{asset.location->lat, asset.location->lng};
        items << item;
    }
    return items;
}

namespace {

// Asks for access, then sends the task the photos of the range (all of them when none
// is given), newest first up to `limit`. Every failure becomes the task's error update.
QCoro::Task<> reportPhotos(APIService api, QString taskId, std::optional<qint64> limit,
                           std::optional<PhotoLibrary::DateRange> range) {
    std::optional<QString> failure;
    try {
        if (!co_await ensureAuthorized()) {
            co_await TaskReports::error(api, taskId, loc(kAccessRefused));
            co_return;
        }
        BridgePhotosResult result;
        // The library's walk runs on the lane of its folder, like a share's work: a
        // Pictures folder on a mount that hangs is written off like a hung share
        // instead of holding a thread of Qt's pool (which the program's end waits for).
        // (A named task: g++ 12 destroys a lambda temporary inside co_await twice.)
        QCoro::Task<QList<BridgePhotosResult::Item>> fetching = ShareWork::run(
            QStringList{PhotoLibrary::rootFolder()},
            [limit, range, deadline = api.taskDeadline] {
                const Decoding::TaskDeadline within(deadline);
                return fetchItems(limit, range);
            },
            TaskReports::sharePurpose(api));
        result.items = co_await std::move(fetching);
        co_await TaskReports::success(api, taskId, result.toJson());
    } catch (...) {
        failure = describeException(std::current_exception());
    }
    if (failure)
        co_await TaskReports::error(api, taskId, *failure);
}

} // namespace

QCoro::Task<> handleRecent(const BridgeTask& taskRef, const BridgeTask::PhotosRecentArgs& argsRef,
                           const APIService& apiRef) {
    QCoro::Task<> reporting = reportPhotos(apiRef, taskRef.id, argsRef.limit, std::nullopt);
    co_await reporting;
}

QCoro::Task<> handleByDate(const BridgeTask& taskRef, const BridgeTask::PhotosByDateArgs& argsRef,
                           const APIService& apiRef) {
    const QString taskId = taskRef.id;
    const std::optional<qint64> limit = argsRef.limit;
    const APIService api = apiRef;
    // The period is checked before access is.
    const std::optional<PhotoLibrary::DateRange> range = period(argsRef.year, argsRef.month);
    if (!range) {
        co_await TaskReports::error(api, taskId, QStringLiteral("invalid_date_components"));
        co_return;
    }
    QCoro::Task<> reporting = reportPhotos(api, taskId, limit, range);
    co_await reporting;
}

} // namespace PhotosBridgeHandler

#include "PhotosBridgeHandler.moc"
