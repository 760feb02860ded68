#pragma once

#include <QString>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// Opens one library photo in the default viewer, for the chat's
// ombrix://local_photo/view/<id> links: the photo is copied to the temporary folder
// as "ombrix-<UUID>.<extension>", readable by the user only, and that copy is
// opened. Every failure is shown in a "Photo" alert. GUI thread.
namespace PhotoOpener {

// Shows a warning alert with this message and informative text. The GUI installs a
// message box; without one the alert is only logged.
using AlertPresenter = std::function<void(const QString& message, const QString& informativeText)>;
void setAlertPresenter(AlertPresenter presenter);

// The identifier as the link carries it (percent-encoded).
QCoro::Task<> open(QString percentEncodedIdentifier);

// The extension of the copy: "heic" for "public.heic" and "public.heif", "png",
// "tiff", "gif" for theirs, "jpg" for anything else.
QString extensionFor(const std::optional<QString>& typeIdentifier);

} // namespace PhotoOpener
