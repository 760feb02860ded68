#pragma once

#include "content/PhotoLibrary.h"
#include "session/APIService.h"
#include "wire/BridgeResults.h"
#include "wire/BridgeTask.h"

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// The photos_recent and photos_by_date tasks over the folder-backed photo library,
// and the access check and fetch that the local model's photo tools share.
namespace PhotosBridgeHandler {

// The user's answer is stored under this settings key (true: allowed, false: refused).
inline constexpr const char* kAccessKey = "ombrix.photosAccessGranted";

enum class AuthorizationStatus { NotDetermined, Authorized, Denied };
// The stored answer (GUI thread).
AuthorizationStatus authorizationStatus();

// Asks the user once whether Ombrix may read the photo library: true or false for
// the answer, nothing when no one can be asked (no display) — then nothing is stored
// and the next use asks again.
using ConsentAsker = std::function<QCoro::Task<std::optional<bool>>()>;
// The GUI installs its dialog here; without one, no one can be asked.
void setConsentAsker(ConsentAsker asker);

// Whether the library may be read: the stored answer, or the user's answer to the
// question asked now (and stored). Callers arriving while the question is open wait
// for the same answer. GUI thread.
QCoro::Task<bool> ensureAuthorized();

// The photos_by_date period in the local time zone: the month (January when absent)
// of the year from its first day at midnight (or the day's first minute where the
// clocks skip midnight), up to the next month (with a month) or the next year
// (without one). Months outside 1...12 roll over into the years around.
// Nothing when a bound is not a representable date.
std::optional<PhotoLibrary::DateRange> period(qint64 year, std::optional<qint64> month);

// The number of items returned: 10 when absent, otherwise clamped to 1...30.
int clampedLimit(std::optional<qint64> limit);

// "image/jpeg" for "public.jpeg", and likewise png, heic, tiff and gif; "image/jpeg"
// for anything else.
QString mimeForTypeIdentifier(const QString& typeIdentifier);

// The newest library images (within the range when given) as result items.
// Blocking: call it off the GUI thread.
QList<BridgePhotosResult::Item> fetchItems(std::optional<qint64> limit,
                                           const std::optional<PhotoLibrary::DateRange>& datePredicate);

// The task handlers: they report their outcome themselves and never throw. The
// arguments are copied before the first suspension.
QCoro::Task<> handleRecent(const BridgeTask& task, const BridgeTask::PhotosRecentArgs& args,
                           const APIService& api);
QCoro::Task<> handleByDate(const BridgeTask& task, const BridgeTask::PhotosByDateArgs& args,
                           const APIService& api);

} // namespace PhotosBridgeHandler
