#pragma once

#include <QString>

// The user's private runtime folder: the single-instance lock and socket and the
// push-to-talk recordings live there. It is "$XDG_RUNTIME_DIR/ombrix" when the
// desktop gives a runtime folder, otherwise "<temporary folder>/ombrix-<uid>",
// which any local user could have made first: it is used only once checked.
namespace RuntimeFolder {

QString path();

// The display this program serves, fit for a file name ("x11_0" for DISPLAY=":0",
// "wl_wayland-0" for WAYLAND_DISPLAY="wayland-0", "none" without a display).
QString displayKey();

// Makes the folder (mode 0700, not its parents) when it is missing, then checks that
// it is this user's own: a real folder (not a link), owned by this user, that no
// one else may enter or list. Returns an empty text when it is, else why not (in
// English, for the log).
QString makePrivate(const QString& folder);

// The runtime folder and its sub-folder `name`, both made and checked as above; an
// empty path when either is refused (`why` says why).
QString privateSubfolder(const QString& name, QString* why = nullptr);

} // namespace RuntimeFolder
