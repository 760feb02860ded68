#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// Links of the "ombrix" scheme that other programs hand to the running program.
namespace DeepLinks {

// The Corvane panel card a link's section names: "localRuntime", "secureAccess",
// "activity", "approvals", else "summary".
QString corvaneAnchor(const std::optional<QString>& section);

// Acts on the two desktop links (ombrix://desktop/corvane_panel?section=… and
// ombrix://local/setup): stores the panel's anchor and opens the Settings window
// on the Corvane tab. Returns whether the link was one of them; any other link
// changes nothing.
bool handleDesktopDeepLink(const QUrl& url);

} // namespace DeepLinks
