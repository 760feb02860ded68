// The photo, application and shortcut tools of the local model.
#include "bridge/PhotosBridgeHandler.h"
#include "bridge/ScreenControlBridgeHandler.h"
#include "content/Decoding.h"
#include "content/DesktopOpener.h"
#include "localllm/LocalTools.h"
#include "platform/Errors.h"
#include "platform/ShareWork.h"

#include <QtConcurrent>

#include <QCoro/QCoroFuture>

#include <variant>

namespace LocalTools {

namespace {

// Runs the shortcuts tool on a worker thread (it blocks until the shortcut ends):
// its trimmed output, or the description of its failure.
QCoro::Task<std::variant<QString, QString>> runShortcutsTool(QStringList arguments,
                                                             std::optional<QString> input) {
    // The configured command comes from the settings, read here on the GUI thread.
    const ScreenControlBridgeHandler::ShortcutsCommand command =
        ScreenControlBridgeHandler::currentShortcutsCommand();
    QFuture<std::variant<QString, QString>> running =
        QtConcurrent::run([command, arguments, input]() -> std::variant<QString, QString> {
            try {
                return std::variant<QString, QString>(
                    std::in_place_index<0>,
                    ScreenControlBridgeHandler::runShortcutsCLI(command, arguments, input));
            } catch (...) {
                return std::variant<QString, QString>(std::in_place_index<1>,
                                                      describeException(std::current_exception()));
            }
        });
    std::variant<QString, QString> outcome = co_await running;
    co_return outcome;
}

} // namespace

QCoro::Task<QString> fetchPhotos(qint64 limit, std::optional<PhotoLibrary::DateRange> range) {
    if (!co_await PhotosBridgeHandler::ensureAuthorized())
        co_return QStringLiteral(
            "Accès Photos refusé. Allez dans Réglages Système \u2192 Confidentialité \u2192 Photos "
            "pour autoriser Ombrix.");

    // The walk of the Pictures folder runs on its lane, with its limit, like a
    // share's work: never on Qt's pool, which the program's end waits for.
    ShareWork::Purpose purpose;
    purpose.deadline = toolDeadline(BridgeTaskKind::PhotosRecent);
    QCoro::Task<QList<BridgePhotosResult::Item>> fetching = ShareWork::run(
        QStringList{PhotoLibrary::rootFolder()},
        [limit, range, deadline = purpose.deadline] {
            const Decoding::TaskDeadline within(deadline);
            return PhotosBridgeHandler::fetchItems(limit, range);
        },
        purpose);
    QList<BridgePhotosResult::Item> items;
    try {
        items = co_await std::move(fetching);
    } catch (...) {
        co_return QStringLiteral("Photos failed: ") + describeException(std::current_exception());
    }
    if (items.isEmpty())
        co_return QStringLiteral("No photos matched.");

    QStringList lines;
    for (const auto& item : items) {
        QString line = QLatin1Char('[') + item.name + QStringLiteral("](ombrix://local_photo/view/") +
                       photoLinkId(item.id) + QStringLiteral(") \u2014 ") +
                       item.taken_at.value_or(QStringLiteral("unknown"));
        if (item.location)
            line += QString::asprintf(" @ %.4f,%.4f", item.location->lat, item.location->lng);
        lines.append(line);
    }
    co_return numberedLines(lines);
}

QCoro::Task<QString> listPhotosFromDate(Json args) {
    const auto year = integerArgument(args, "year");
    if (!year)
        co_return QStringLiteral("Missing year.");
    const auto month = integerArgument(args, "month");
    const qint64 limit = integerArgument(args, "limit").value_or(10);
    const auto range = PhotosBridgeHandler::period(*year, month);
    if (!range)
        co_return QStringLiteral("Invalid date components.");
    co_return co_await fetchPhotos(limit, range);
}

QCoro::Task<QString> openApp(Json args) {
    const QString name = stringArgument(args, "name").value_or(QString());
    if (name.isEmpty())
        co_return QStringLiteral("Missing app name.");

    QFuture<std::optional<QString>> locating =
        QtConcurrent::run([name] { return ScreenControlBridgeHandler::locateApp(name); });
    const std::optional<QString> desktopFile = co_await locating;
    if (!desktopFile)
        co_return QStringLiteral("Aucune application nommée '") + name + QStringLiteral("' n'a été trouvée.");

    const std::optional<QString> failure = co_await DesktopOpener::shared().launchApplication(*desktopFile);
    if (failure)
        co_return QStringLiteral("Failed to open ") + name + QStringLiteral(": ") + *failure;
    co_return QStringLiteral("Opened ") + name + QLatin1Char('.');
}

QCoro::Task<QString> listShortcuts() {
    const QStringList arguments{QStringLiteral("list")};
    const auto outcome = co_await runShortcutsTool(arguments, std::nullopt);
    if (outcome.index() == 1)
        co_return QStringLiteral("shortcut_list_failed: ") + std::get<1>(outcome);
    const QStringList names = ScreenControlBridgeHandler::parseShortcutList(std::get<0>(outcome));
    if (names.isEmpty())
        co_return QStringLiteral("No shortcuts found.");
    co_return numberedLines(names);
}

QCoro::Task<QString> runShortcut(Json args) {
    const QString name = stringArgument(args, "name").value_or(QString());
    if (name.isEmpty())
        co_return QStringLiteral("Missing shortcut name.");
    const std::optional<QString> input = stringArgument(args, "input");

    const QStringList arguments{QStringLiteral("run"), name};
    const auto outcome = co_await runShortcutsTool(arguments, input);
    if (outcome.index() == 1)
        co_return QStringLiteral("shortcut_run_failed: ") + std::get<1>(outcome);
    const QString output = std::get<0>(outcome);
    if (!output.isEmpty())
        co_return output;
    co_return QStringLiteral("Shortcut '") + name + QStringLiteral("' ran (no output).");
}

} // namespace LocalTools
