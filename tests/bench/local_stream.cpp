// The GUI thread while a fast local model server streams a long reply: a server on
// its own thread writes an event stream of the given size as fast as loopback takes
// it (events of about 1 KiB, each a one-character content fragment and a padding
// member, the way servers add log probabilities); the direct client reads it on the
// GUI thread. A 1 ms timer on the same thread measures the longest gap between two
// of its ticks (the longest stall), and the process's peak resident memory is read
// before and after.
//
// With a rate, the server sends no faster than that many megabytes a second.
//
//   build/tests/bench_local_stream [megabytes] [rate]
#include "localllm/LocalDirectClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {
qint64 peakRssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Accepts one connection, reads the request head and body, streams `bytes` of events.
void serve(int listener, qint64 bytes, double rate) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0)
        return;
    QByteArray request;
    char buffer[65536];
    while (true) {
        const qsizetype end = request.indexOf("\r\n\r\n");
        if (end >= 0) {
            qint64 length = 0;
            for (const QByteArray& line : request.left(end).split('\n'))
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
            if (request.size() - end - 4 >= length)
                break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        request.append(buffer, n);
    }
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n";
    const QByteArray event =
        "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"a\"},\"logprobs\":\"" +
        QByteArray(900, 'p') + "\"}]}\n\n";
    QByteArray block;
    while (block.size() < 256 * 1024)
        block += event;
    bool ok = writeAll(fd, head.constData(), static_cast<size_t>(head.size()));
    QElapsedTimer clock;
    clock.start();
    for (qint64 sent = 0; ok && sent < bytes; sent += block.size()) {
        if (rate > 0) {
            const qint64 due = static_cast<qint64>(static_cast<double>(sent) / (rate * 1000.0));
            if (due > clock.elapsed())
                std::this_thread::sleep_for(std::chrono::milliseconds(due - clock.elapsed()));
        }
        ok = writeAll(fd, block.constData(), static_cast<size_t>(block.size()));
    }
    const QByteArray done = "data: [DONE]\n\n";
    if (ok)
        writeAll(fd, done.constData(), static_cast<size_t>(done.size()));
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("listen");
        return 1;
    }
    const double rate = argc > 2 ? std::atof(argv[2]) : 0.0;
    std::thread server(serve, listener, megabytes * 1000 * 1000, rate);
    const QString endpoint = QStringLiteral("http://127.0.0.1:%1/v1").arg(ntohs(address.sin_port));

    QElapsedTimer clock;
    qint64 lastTick = -1;
    qint64 longestStall = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (lastTick >= 0)
            longestStall = std::max(longestStall, now - lastTick);
        lastTick = now;
    });

    const qint64 rssBefore = peakRssKiB();
    qint64 characters = 0;
    QString failure;
    bool finished = false;
    auto run = [&]() -> QCoro::Task<> {
        try {
            const LocalDirectClient::Completion completion = co_await LocalDirectClient::streamChatRaw(
                endpoint, "{}", [&](const QString& delta) { characters += delta.size(); });
            characters = completion.text.size();
        } catch (const OmbrixError& error) {
            failure = error.description();
        }
        finished = true;
        app.quit();
    };
    clock.start();
    ticker.start();
    // A named task, awaited by nobody: the lambda outlives it.
    QCoro::Task<> task = run();
    if (!finished)
        app.exec();
    const qint64 elapsed = clock.elapsed();
    server.join();
    ::close(listener);

    std::printf("server sent %lld MB; read for %lld ms, %lld characters%s%s\n",
                static_cast<long long>(megabytes), static_cast<long long>(elapsed),
                static_cast<long long>(characters),
                failure.isEmpty() ? "" : ", failed: ", failure.toUtf8().constData());
    std::printf("longest GUI-thread stall: %lld ms\n", static_cast<long long>(longestStall));
    std::printf("peak resident memory: %lld MiB before, %lld MiB after\n",
                static_cast<long long>(rssBefore / 1024), static_cast<long long>(peakRssKiB() / 1024));
    return 0;
}
