#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

// One running Ombrix per user and display. A launch first takes a lock (flock on
// "<name>.lock" in the private runtime folder); the holder listens on
// "<name>.sock" beside it. A later launch that finds the lock taken hands its link
// (or nothing) to the holder, only when the listener runs under this user's own
// uid, and exits. Links that arrive before the running program has finished
// starting are held and handed out, in order, once markReady() is called.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The most a link may hold; a longer message is dropped.
    static constexpr qsizetype kMaxLinkBytes = 8 * 1024;
    static constexpr int kHandOverTimeoutMs = 2000;
    // How long a launch that finds the lock taken tries to reach its holder (which
    // may still be starting) before it gives up.
    static constexpr int kReachHolderMs = 10000;

    // folder: the private runtime folder (made 0700 and checked to be ours);
    // name: the lock's and the socket's name in it (one per display by default).
    explicit SingleInstance(QString folder, QString name = defaultName(), QObject* parent = nullptr);
    SingleInstance();
    ~SingleInstance() override;

    static QString defaultName();
    QString socketPath() const;
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
    bool isPrimary() const { return server_ != nullptr; }

signals:
    // A link handed over by another process (never empty), delivered on a later
    // turn of the event loop.
    void linkReceived(const QString& link);

private:
    enum class HandOver { Delivered, NoAnswer, Refused };
    HandOver handOver(const QString& link);
    bool tryLock();
    void accept();
    void deliver(const QString& link);

    QString folder_;
    QString name_;
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
    bool ready_ = false;
    QStringList held_;
};
