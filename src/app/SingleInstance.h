#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

// One running Ombrix per user and display. A launch first takes a lock (flock on
// "<name>.lock" in the private runtime folder); the holder listens on
// "<name>-2.sock" beside it. A later launch that finds the lock taken hands its link
// (or nothing) to the holder, only when the listener runs under this user's own
// uid, and exits once the holder has answered "ok": the holder answers once the
// link is handled (linkReceived's receivers have run). Links that arrive before the
// running program has finished starting are held and handed out, in order, once
// markReady() is called.
//
// A holder that is quitting refuses links (closes their connections unanswered),
// also when the quit is only a signal received and not yet handled (QuitSignal).
// A launch that is refused, or not answered, waits for the lock and becomes the
// running program itself, with its link, once the holder has ended; an answer
// that comes meanwhile still ends it.
//
// A program of the previous version holds the same lock but listens on
// "<name>.sock" and never answers: a launch that finds only that listener hands
// it the line once and exits, as that version's launches did.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The most a link may hold; a longer message is dropped.
    static constexpr qsizetype kMaxLinkBytes = 8 * 1024;
    // How long the holder waits for a link's line once connected.
    static constexpr int kHandOverTimeoutMs = 2000;
    // After this long without an answer or the lock, a launch says once on its
    // standard error that the running program does not answer (it goes on waiting).
    static constexpr int kReachHolderMs = 10000;
    static constexpr const char* kWaitingText =
        "Ombrix est déjà lancé mais ne répond pas : ce lancement attend qu'il réponde ou qu'il se "
        "termine.\n";
    // The hand-over that answers "ok": its number is in the socket's name, so that
    // a launch knows a program of the previous version, which never answers.
    static constexpr int kProtocol = 2;

    // folder: the private runtime folder (made 0700 and checked to be ours);
    // name: the lock's and the socket's name in it (one per display by default).
    explicit SingleInstance(QString folder, QString name = defaultName(), QObject* parent = nullptr);
    SingleInstance();
    ~SingleInstance() override;

    static QString defaultName();
    QString socketPath() const;
    // Where a program of the previous version listens.
    QString previousSocketPath() const;
    QString lockPath() const;

    // Becomes the running instance; false when another one runs, after handing
    // it `link` (an empty link only wakes it). When the folder is not ours, or the
    // listener is not of our uid, nothing is handed over: true, without receiving
    // links (isPrimary() false). May run before the application object exists
    // (a later launch then ends without starting Qt's GUI); the running instance
    // listens at once when it does, else once listen() is called.
    bool claim(const QString& link = QString());
    // Starts listening for links, once the application object exists (after a
    // claim that made this the running instance; nothing otherwise).
    void listen();
    // The program has started: held links go out now, later ones as they come.
    void markReady();
    // The program is quitting: links not handed out yet, and those that come from
    // now on, are refused (their launches take over once this process has ended).
    void refuse();
    bool isPrimary() const { return server_ != nullptr; }

signals:
    // A link handed over by another process (never empty), delivered on a later
    // turn of the event loop. Its receivers handle it before they return (connect
    // them directly): the launch that handed it over is answered "ok" only then.
    void linkReceived(const QString& link);

private:
    enum class HandOver {
        Delivered, // the holder answered that it took the link
        NoAnswer,  // nobody listens, or the holder closed without answering
        Refused,   // the listener is not ours
        TookLock,  // the holder ended while the launch waited: the lock is ours
    };
    HandOver handOver(const QString& link);
    bool tryLock();
    // Says once on the standard error that the running program does not answer,
    // after kReachHolderMs of trying.
    void tellIfLong();
    void accept();
    void deliver(const QString& link, QLocalSocket* socket);
    void handOut(const QString& link, QLocalSocket* socket);

    struct Held {
        QString link;
        QPointer<QLocalSocket> socket; // a child of the listener: gone with it
    };

    QString folder_;
    QString name_;
    int lockFd_ = -1;
    QElapsedTimer waited_; // since claim() began
    bool told_ = false;
    QLocalServer* server_ = nullptr;
    bool ready_ = false;
    bool refusing_ = false;
    QList<Held> held_;
};
