#include "app/SingleInstance.h"

#include "platform/Log.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <unistd.h>

SingleInstance::SingleInstance(QString serverName, QObject* parent)
    : QObject(parent)
    , serverName_(std::move(serverName)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultServerName() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime + QStringLiteral("/ombrix.sock");
    return QDir::tempPath() + QStringLiteral("/ombrix-%1.sock").arg(::getuid());
}

bool SingleInstance::claim(const QString& link) {
    // Another instance answers on the socket: hand it the link.
    {
        QLocalSocket socket;
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(kHandOverTimeoutMs)) {
            // A link too long to be one of ours is not passed on; the running
            // program is only woken.
            const QByteArray bytes = link.toUtf8();
            socket.write((bytes.size() <= kMaxLinkBytes ? bytes : QByteArray()) + '\n');
            socket.waitForBytesWritten(kHandOverTimeoutMs);
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState)
                socket.waitForDisconnected(kHandOverTimeoutMs);
            return false;
        }
    }
    // Nobody answers: a socket file left by a program that died is removed.
    QLocalServer::removeServer(serverName_);
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(serverName_)) {
        qCWarning(lcApp) << "single instance: cannot listen:" << server->errorString();
        delete server;
        return true; // run anyway, without receiving links
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
    return true;
}

void SingleInstance::markReady() {
    ready_ = true;
    const QStringList held = std::exchange(held_, {});
    for (const QString& link : held)
        QTimer::singleShot(0, this, [this, link] { emit linkReceived(link); });
}

void SingleInstance::deliver(const QString& link) {
    if (link.isEmpty())
        return;
    if (!ready_) {
        held_.append(link);
        return;
    }
    QTimer::singleShot(0, this, [this, link] { emit linkReceived(link); });
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        auto* buffer = new QByteArray;
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, &QLocalSocket::abort);
        timer->start(kHandOverTimeoutMs);
        auto finish = [this, socket, buffer] {
            if (buffer->isNull())
                return;
            const qsizetype end = buffer->indexOf('\n');
            if (end >= 0 && end <= kMaxLinkBytes)
                deliver(QString::fromUtf8(buffer->left(end)).trimmed());
            *buffer = QByteArray();
            socket->deleteLater();
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
