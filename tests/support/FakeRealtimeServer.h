#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

#include <optional>

// A realtime voice service on loopback (plain ws://): records each connection's
// handshake headers, the frames it receives and the close code it got, and sends
// scripted events to the latest connection. It can also answer the WebSocket
// upgrade late, never, wrongly, or answer it and then stop reading.
class FakeRealtimeServer : public QObject {
    Q_OBJECT
public:
    struct Connection {
        QNetworkRequest request; // the handshake, with its headers
        QStringList texts;
        QList<QByteArray> binaries;
        std::optional<int> closeCode; // as received from the client
        bool open = true;
        QPointer<QWebSocket> socket;
    };

    enum class Upgrade {
        Answer,      // at once
        Late,        // after upgradeDelayMs
        Never,       // the TCP connection is taken, the upgrade request never answered
        WrongAccept, // a 101 answer whose Sec-WebSocket-Accept does not match the key
        StopReading, // a right 101 answer, then nothing more is read from the client
    };
    Upgrade upgrade = Upgrade::Answer;
    int upgradeDelayMs = 0;

    explicit FakeRealtimeServer(QObject* parent = nullptr);
    ~FakeRealtimeServer() override;

    QUrl url() const;
    const QList<Connection*>& connections() const { return connections_; }
    Connection* last() const { return connections_.isEmpty() ? nullptr : connections_.last(); }
    bool waitForConnections(int n, int timeoutMs = 60000);

    void sendText(const QByteArray& json);
    void sendBinary(const QByteArray& bytes);
    // An audio delta of the given 16-bit samples (base64, as the service sends it).
    void sendAudioDelta(const QByteArray& pcm16);
    // Drops the latest connection without a closing handshake.
    void dropConnection();
    // The "type" of each JSON text the latest connection received.
    QStringList receivedTypes(const Connection* connection = nullptr) const;
    // TCP connections taken, whatever became of their upgrade, and those still open.
    int tcpConnections() const { return tcpConnections_; }
    int openTcpConnections() const;

private:
    void answerByHand(QTcpSocket* tcp, bool rightKey);

    QTcpServer tcp_;
    QWebSocketServer server_;
    QList<Connection*> connections_;
    QList<QPointer<QTcpSocket>> raw_;
    int tcpConnections_ = 0;
};
