#include "app/SingleInstance.h"

#include "platform/Log.h"
#include "platform/QuitSignal.h"
#include "platform/RuntimeFolder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The uid of the process at the other end of a connected local socket.
std::optional<uid_t> peerUid(qintptr descriptor) {
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    if (descriptor < 0 ||
        ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    return credentials.uid;
}

// The listener is made on the application's thread (a launch may claim before the
// application object exists; then listen() is called later).
bool onApplicationThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool isOwnUid(qintptr descriptor) {
    const std::optional<uid_t> uid = peerUid(descriptor);
    return uid && *uid == ::geteuid();
}

// A local socket connected to the listener at `path`; -1 when nobody listens there.
int connectTo(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    if (name.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends the line whole. It is small: a local socket takes it without waiting,
// unless the listener stalls (then the send time-out ends it).
bool sendLine(int fd, const QByteArray& line) {
    const timeval timeout{SingleInstance::kHandOverTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    qsizetype sent = 0;
    while (sent < line.size()) {
        const ssize_t n =
            ::send(fd, line.constData() + sent, static_cast<size_t>(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

} // namespace

SingleInstance::SingleInstance(QString folder, QString name, QObject* parent)
    : QObject(parent)
    , folder_(std::move(folder))
    , name_(std::move(name)) {}

SingleInstance::SingleInstance()
    : SingleInstance(RuntimeFolder::path()) {}

SingleInstance::~SingleInstance() {
    // The socket goes before the lock: a launch that takes the lock next never
    // finds our socket in its way.
    delete server_;
    server_ = nullptr;
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

QString SingleInstance::defaultName() {
    return QStringLiteral("instance-") + RuntimeFolder::displayKey();
}

QString SingleInstance::socketPath() const {
    return folder_ + QLatin1Char('/') + name_ + QLatin1Char('-') + QString::number(kProtocol) +
           QStringLiteral(".sock");
}

QString SingleInstance::previousSocketPath() const {
    return folder_ + QLatin1Char('/') + name_ + QStringLiteral(".sock");
}

QString SingleInstance::lockPath() const {
    return folder_ + QLatin1Char('/') + name_ + QStringLiteral(".lock");
}

bool SingleInstance::claim(const QString& link) {
    // A folder another user made (or that others may enter) could hold anyone's
    // listener: nothing is handed over there, and this launch runs on its own.
    if (const QString why = RuntimeFolder::makePrivate(folder_); !why.isEmpty()) {
        qCWarning(lcApp).noquote() << "single instance: runtime folder refused:" << why
                                   << "- running without receiving links";
        return true;
    }
    waited_.start();
    told_ = false;
    for (;;) {
        if (tryLock()) {
            if (onApplicationThread())
                listen();
            return true;
        }
        if (lockFd_ < 0)
            return true; // no lock file: already reported, run without links
        // The lock is taken: its holder listens, is about to, or is ending.
        switch (handOver(link)) {
        case HandOver::Delivered:
            return false;
        case HandOver::Refused:
            qCWarning(lcApp) << "single instance: the listener is not ours; running without receiving links";
            return true;
        case HandOver::TookLock:
            if (onApplicationThread())
                listen();
            return true;
        case HandOver::NoAnswer:
            break;
        }
        tellIfLong();
        QThread::msleep(20);
    }
}

void SingleInstance::tellIfLong() {
    if (told_ || waited_.elapsed() < kReachHolderMs)
        return;
    // The user started this launch (a terminal, a desktop launcher): it is told
    // once why nothing happens yet. The link is not given up.
    std::fputs(kWaitingText, stderr);
    std::fflush(stderr);
    told_ = true;
}

bool SingleInstance::tryLock() {
    if (lockFd_ < 0) {
        lockFd_ = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                         0600);
        if (lockFd_ < 0) {
            qCWarning(lcApp) << "single instance: cannot open the lock file:" << qt_error_string(errno);
            return false;
        }
    }
    int result;
    do
        result = ::flock(lockFd_, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

SingleInstance::HandOver SingleInstance::handOver(const QString& link) {
    // Plain system calls: a launch hands its link over before the application
    // object (and its event loop) exists.
    // A link too long to be one of ours is not passed on; the running program is
    // only woken.
    const QByteArray bytes = link.toUtf8();
    const QByteArray line = (bytes.size() <= kMaxLinkBytes ? bytes : QByteArray()) + '\n';
    int fd = connectTo(socketPath());
    if (fd < 0) {
        // Nobody of this version listens (yet). A program of the previous version
        // listens at the previous name and takes a link without answering: it is
        // handed the line once, which counts as delivered, as for its own launches.
        fd = connectTo(previousSocketPath());
        if (fd < 0)
            return HandOver::NoAnswer; // nobody listens (yet)
        const auto closePrevious = qScopeGuard([fd] { ::close(fd); });
        if (!isOwnUid(fd))
            return HandOver::Refused;
        return sendLine(fd, line) ? HandOver::Delivered : HandOver::NoAnswer;
    }
    const auto closeSocket = qScopeGuard([fd] { ::close(fd); });
    if (!isOwnUid(fd))
        return HandOver::Refused;
    if (!sendLine(fd, line))
        return HandOver::NoAnswer;
    // The hand-over counts once the holder answers that it took the link. A holder
    // that is quitting closes the connection unanswered; one that does not answer
    // (busy, stopped) may be about to: meanwhile the lock is tried, and if the
    // holder ends first, this launch is the program.
    QByteArray answer;
    const auto answered = [&answer] { return answer.startsWith("ok\n"); };
    const auto read = [&](int flags) {
        char chunk[16];
        for (;;) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, flags);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0 && answer.size() < 16)
                answer.append(chunk, n);
            return n;
        }
    };
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 50);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled < 0)
            return HandOver::NoAnswer;
        if (polled > 0) {
            if (read(0) <= 0)
                return answered() ? HandOver::Delivered : HandOver::NoAnswer; // closed
            if (answer.contains('\n') || answer.size() >= 16)
                return answered() ? HandOver::Delivered : HandOver::NoAnswer;
            continue;
        }
        tellIfLong();
        if (tryLock()) {
            // The holder has ended. An answer it gave just before still counts.
            while (read(MSG_DONTWAIT) > 0 && !answer.contains('\n')) {
            }
            if (answered()) {
                ::flock(lockFd_, LOCK_UN);
                return HandOver::Delivered;
            }
            return HandOver::TookLock;
        }
    }
}

void SingleInstance::listen() {
    if (server_ || lockFd_ < 0 || refusing_)
        return;
    // We hold the lock: a socket file here was left by a holder that died.
    QLocalServer::removeServer(socketPath());
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath())) {
        qCWarning(lcApp) << "single instance: cannot listen:" << server->errorString();
        delete server;
        return; // run anyway, without receiving links; the lock still keeps others out
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
    // The listener goes when the program begins to quit (refuse(), called by the
    // program's end); the lock stays until the process ends, so that a launch
    // meanwhile waits for it rather than starting beside us.
}

void SingleInstance::refuse() {
    refusing_ = true;
    held_.clear();
    // The connections are the listener's children: they close unanswered with it.
    delete server_;
    server_ = nullptr;
}

void SingleInstance::markReady() {
    ready_ = true;
    const QList<Held> held = std::exchange(held_, {});
    for (const Held& h : held)
        QTimer::singleShot(0, this, [this, h] { handOut(h.link, h.socket); });
}

void SingleInstance::deliver(const QString& link, QLocalSocket* socket) {
    if (link.isEmpty() || ready_) {
        QTimer::singleShot(
            0, this, [this, link, guarded = QPointer<QLocalSocket>(socket)] { handOut(link, guarded); });
        return;
    }
    held_.append(Held{link, socket});
}

void SingleInstance::handOut(const QString& link, QLocalSocket* connection) {
    // A connection closed meanwhile (a quit refused it, or its launch went) is
    // not handed out: that launch takes over or is gone.
    const QPointer<QLocalSocket> socket(connection);
    if (refusing_ || !socket)
        return;
    // A quit is under way, maybe only as a signal not yet handled: nothing more is
    // promised. Every connection closes unanswered, and its launch becomes the
    // program once this one has ended.
    if (QuitSignal::raised()) {
        refuse();
        return;
    }
    if (socket->state() != QLocalSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    // The link is handled (its receivers run now), and only then acknowledged:
    // an "ok" never stands for a link still to be handled.
    if (!link.isEmpty())
        emit linkReceived(link);
    if (!socket)
        return;
    // A quit signal that came while the link was handled: the launch takes over
    // and handles it again, rather than being told that a program about to end has it.
    if (QuitSignal::raised()) {
        refuse();
        return;
    }
    socket->write("ok\n", 3);
    socket->flush();
    socket->disconnectFromServer();
    socket->deleteLater();
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (!isOwnUid(socket->socketDescriptor())) {
            qCWarning(lcApp) << "single instance: a link from another user is refused";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto* buffer = new QByteArray;
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, &QLocalSocket::abort);
        timer->start(kHandOverTimeoutMs);
        auto finish = [this, socket, buffer, timer] {
            if (buffer->isNull())
                return;
            timer->stop();
            const qsizetype end = buffer->indexOf('\n');
            const bool whole = end >= 0 && end <= kMaxLinkBytes;
            const QString link = whole ? QString::fromUtf8(buffer->left(end)).trimmed() : QString();
            *buffer = QByteArray();
            if (!whole || socket->state() != QLocalSocket::ConnectedState) {
                socket->abort();
                socket->deleteLater();
                return;
            }
            deliver(link, socket);
        };
        connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer, finish] {
            buffer->append(socket->read(kMaxLinkBytes + 2 - buffer->size()));
            if (buffer->contains('\n') || buffer->size() > kMaxLinkBytes)
                finish();
        });
        connect(socket, &QLocalSocket::disconnected, socket, finish);
        connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
    }
}
