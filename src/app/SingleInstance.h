#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

// One running Ombrix per user. The first process listens on a private local
// socket; a later one hands its link (or nothing) to it and exits. Links that
// arrive before the running program has finished starting are held and handed
// out, in order, once markReady() is called.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The most a link may hold; a longer message is dropped.
    static constexpr qsizetype kMaxLinkBytes = 8 * 1024;
    static constexpr int kHandOverTimeoutMs = 2000;

    // serverName: the socket's path (by default in $XDG_RUNTIME_DIR, else the
    // temporary folder, named after the user).
    explicit SingleInstance(QString serverName = defaultServerName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString defaultServerName();

    // Becomes the running instance; false when another one runs, after handing
    // it `link` (an empty link only wakes it).
    bool claim(const QString& link = QString());
    // The program has started: held links go out now, later ones as they come.
    void markReady();
    bool isPrimary() const { return server_ != nullptr; }

signals:
    // A link handed over by another process (never empty), delivered on a later
    // turn of the event loop.
    void linkReceived(const QString& link);

private:
    void accept();
    void deliver(const QString& link);

    QString serverName_;
    QLocalServer* server_ = nullptr;
    bool ready_ = false;
    QStringList held_;
};
