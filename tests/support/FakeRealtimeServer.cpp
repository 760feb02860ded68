#include "support/FakeRealtimeServer.h"

#include "platform/Json.h"
#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

FakeRealtimeServer::FakeRealtimeServer(QObject* parent)
    : QObject(parent)
    , server_(QStringLiteral("fake-realtime"), QWebSocketServer::NonSecureMode) {
    tcp_.listen(QHostAddress::LocalHost, 0);
    connect(&tcp_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* tcp = tcp_.nextPendingConnection()) {
            tcp->setParent(this);
            ++tcpConnections_;
            raw_.append(tcp);
            switch (upgrade) {
            case Upgrade::Answer:
                server_.handleConnection(tcp);
                break;
            case Upgrade::Late:
                QTimer::singleShot(upgradeDelayMs, this, [this, tcp = QPointer<QTcpSocket>(tcp)] {
                    if (!tcp)
                        return;
                    server_.handleConnection(tcp);
                    // The request came while it was held: have it read now.
                    if (tcp->bytesAvailable() > 0)
                        emit tcp->readyRead();
                });
                break;
            case Upgrade::Never:
                break;
            case Upgrade::WrongAccept:
                answerByHand(tcp, false);
                break;
            case Upgrade::StopReading:
                answerByHand(tcp, true);
                break;
            }
        }
    });
    connect(&server_, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* socket = server_.nextPendingConnection()) {
            socket->setParent(this);
            auto* c = new Connection;
            c->request = socket->request();
            c->socket = socket;
            connections_.append(c);
            connect(socket, &QWebSocket::textMessageReceived, this,
                    [c](const QString& t) { c->texts.append(t); });
            connect(socket, &QWebSocket::binaryMessageReceived, this,
                    [c](const QByteArray& b) { c->binaries.append(b); });
            connect(socket, &QWebSocket::disconnected, this, [c, socket] {
                c->open = false;
                c->closeCode = socket->closeCode();
            });
        }
    });
}

FakeRealtimeServer::~FakeRealtimeServer() {
    qDeleteAll(connections_);
}

QUrl FakeRealtimeServer::url() const {
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/realtime").arg(tcp_.serverPort()));
}

int FakeRealtimeServer::openTcpConnections() const {
    int n = 0;
    for (const QPointer<QTcpSocket>& tcp : raw_)
        if (tcp && tcp->state() == QAbstractSocket::ConnectedState)
            ++n;
    return n;
}

void FakeRealtimeServer::answerByHand(QTcpSocket* tcp, bool rightKey) {
    auto request = std::make_shared<QByteArray>();
    auto handler = std::make_shared<QMetaObject::Connection>();
    *handler = connect(tcp, &QTcpSocket::readyRead, this, [tcp, request, handler, rightKey] {
        *request += tcp->readAll();
        if (!request->contains("\r\n\r\n"))
            return;
        QByteArray key;
        for (const QByteArray& line : request->split('\n'))
            if (line.toLower().startsWith("sec-websocket-key:"))
                key = line.mid(18).trimmed();
        const QByteArray accept = rightKey
                                      ? QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                                                 QCryptographicHash::Sha1)
                                            .toBase64()
                                      : QByteArray("d3JvbmcgYWNjZXB0IGtleQ==");
        tcp->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Accept: " +
                   accept + "\r\n\r\n");
        QObject::disconnect(*handler);
        // Nothing more is taken from the client: what it sends piles up in the kernel.
        tcp->setReadBufferSize(1024);
    });
}

bool FakeRealtimeServer::waitForConnections(int n, int timeoutMs) {
    return spinUntil([&] { return connections_.size() >= n; }, timeoutMs);
}

void FakeRealtimeServer::sendText(const QByteArray& json) {
    if (last() && last()->socket)
        last()->socket->sendTextMessage(QString::fromUtf8(json));
}

void FakeRealtimeServer::sendBinary(const QByteArray& bytes) {
    if (last() && last()->socket)
        last()->socket->sendBinaryMessage(bytes);
}

void FakeRealtimeServer::sendAudioDelta(const QByteArray& pcm16) {
    sendText(R"({"type":"response.audio.delta","delta":")" + pcm16.toBase64() + "\"}");
}

void FakeRealtimeServer::dropConnection() {
    if (last() && last()->socket)
        last()->socket->abort();
}

QStringList FakeRealtimeServer::receivedTypes(const Connection* connection) const {
    const Connection* c = connection ? connection : last();
    QStringList types;
    if (!c)
        return types;
    for (const QString& text : c->texts) {
        try {
            const Json value = json::parse(text.toUtf8());
            types.append(value.is_object() && value.contains("type") && value["type"].is_string()
                             ? json::qstr(value["type"])
                             : QString());
        } catch (const JsonDecodingError&) {
            types.append(QString());
        }
    }
    return types;
}
