#include "support/FakeRealtimeServer.h"

#include "platform/Json.h"
#include "support/TestSupport.h"

#include <QHostAddress>

FakeRealtimeServer::FakeRealtimeServer(QObject* parent)
    : QObject(parent)
    , server_(QStringLiteral("fake-realtime"), QWebSocketServer::NonSecureMode) {
    server_.listen(QHostAddress::LocalHost, 0);
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
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/v1/realtime").arg(server_.serverPort()));
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
