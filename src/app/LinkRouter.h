#pragma once

#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <functional>

// What a click on a link in a message bubble does. Web and mail links go to the
// desktop; the program's own links open a bridged document
// (ombrix://local_file/open/<id>) or a library photo (ombrix://local_photo/view/<id>);
// everything else is swallowed. GUI thread.
namespace LinkRouter {

struct Decision {
    enum class Kind {
        Swallow,    // nothing happens
        OpenSystem, // http, https or mailto: the desktop's default handler
        OpenFile,   // a document of the bridge's id cache
        OpenPhoto,  // a library photo
    };
    Kind kind = Kind::Swallow;
    QUrl url;   // OpenSystem
    QString id; // OpenFile, OpenPhoto: the id, percent-decoded once

    bool operator==(const Decision& other) const = default;
};

// The decision for a link target as the label hands it over (the href text).
Decision decide(const QString& href);

// Carries the link out: the system link through the desktop, a known document
// with its default application — or, when opening it could run code (a program,
// a script, a .desktop entry), its folder instead —, a photo through the photo
// opener. An unknown document id does nothing.
QCoro::Task<> open(QString href);

// The handler of system links (QDesktopServices::openUrl by default); tests
// record the calls instead.
void setSystemOpener(std::function<void(const QUrl&)> opener);

} // namespace LinkRouter
