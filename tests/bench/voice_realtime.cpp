// Realtime voice over a session against the fake realtime service: the time from
// a delta leaving the service (in this process, over loopback) to its samples
// being queued for the speaker (parse, strict base64, conversion to the fifo),
// and the interval between microphone messages sent. The service sends 100 ms of
// 24 kHz audio every 100 ms. With the private sound server the real microphone
// and speaker are used, otherwise scripted ones.
//
//   bash scripts/with-sound.sh build/tests/bench_voice_realtime [seconds]
#include "platform/Resources.h"
#include "support/BenchSupport.h"
#include "support/FakeRealtimeServer.h"
#include "support/SoundFixtures.h"
#include "support/TestSupport.h"
#include "voice/RealtimeClient.h"

#include <QApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>

namespace {
struct Stats {
    double median, p95, max;
};
Stats stats(std::vector<double> v) {
    if (v.empty())
        return {0, 0, 0};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 95 / 100], v.back()};
}
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initOmbrixResources();
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    installMemoryDefaults();
    installMemorySecrets();
    const bool real = soundServerAvailable();
    if (!real)
        AudioDevices::setShared(std::make_shared<FakeAudioDevices>());

    FakeBackend backend;
    FakeRealtimeServer service;
    backend.route("POST", QStringLiteral("/api/v1/realtime_sessions"),
                  ScriptedResponse::json(201, "{\"ws_url\":\"" + service.url().toString().toUtf8() +
                                                  "\",\"ephemeral_token\":\"e\"}"));
    RealtimeClient client;
    std::deque<qint64> sentAt;
    std::vector<double> latency, interval;
    qint64 lastAppend = 0;
    client.setObserverForTesting([&](const char* what) {
        const qint64 now = steadyNowNs();
        if (what[0] == 'd' && !sentAt.empty()) {
            latency.push_back(static_cast<double>(now - sentAt.front()) / 1e6);
            sentAt.pop_front();
        } else if (what[0] == 'a') {
            if (lastAppend)
                interval.push_back(static_cast<double>(now - lastAppend) / 1e6);
            lastAppend = now;
        }
    });
    runTask(client.start("tok", "alloy"));
    if (!service.waitForConnections(1) || client.state().kind != RealtimeClient::State::Kind::Listening) {
        std::printf("the session did not start: %s\n", qPrintable(client.failure()));
        return 1;
    }
    spinUntil([&] { return service.last()->socket->state() == QAbstractSocket::ConnectedState; });
    const PcmFormat f{RealtimeClient::kSampleRate, 1};
    const QByteArray chunk = sinePcm(f, 300, 0.3, 100);
    QTimer sender;
    sender.setInterval(100);
    QObject::connect(&sender, &QTimer::timeout, [&] {
        sentAt.push_back(steadyNowNs());
        service.sendAudioDelta(chunk);
    });
    sender.start();
    spinFor(seconds * 1000);
    sender.stop();

    client.stop();

    // The largest event the client accepts: an audio delta of almost 256 KiB. What
    // reading it (JSON, strict base64) would cost the GUI thread, and the GUI
    // thread's longest stall while 20 of them arrive 200 ms apart (read on the
    // pool), from a service on a thread of its own so that the stalls are the
    // client's alone.
    const qsizetype wrapper = QByteArray(R"({"type":"response.audio.delta","delta":""})").size();
    const QByteArray largest(((RealtimeClient::kMaxEventBytes - wrapper) / 4 * 3) & ~qsizetype(1), '\x01');
    const QString largestEvent =
        QString::fromLatin1(R"({"type":"response.audio.delta","delta":")" + largest.toBase64() + "\"}");
    const double readMs = medianMs([&] { (void)RealtimeClient::readEvent(largestEvent); });
    QThread serviceThread;
    serviceThread.start();
    QObject anchor;
    anchor.moveToThread(&serviceThread);
    FakeRealtimeServer* remote = nullptr;
    QUrl remoteUrl;
    const auto onService = [&](const std::function<void()>& work) {
        QMetaObject::invokeMethod(&anchor, work, Qt::BlockingQueuedConnection);
    };
    onService([&] {
        remote = new FakeRealtimeServer;
        remoteUrl = remote->url();
    });
    backend.route("POST", QStringLiteral("/api/v1/realtime_sessions"),
                  ScriptedResponse::json(201, "{\"ws_url\":\"" + remoteUrl.toString().toUtf8() +
                                                  "\",\"ephemeral_token\":\"e\"}"));
    RealtimeClient large;
    runTask(large.start("tok", "alloy"));
    spinUntil([&] {
        bool open = false;
        onService(
            [&] { open = remote->last() && remote->last()->socket && remote->last()->socket->isValid(); });
        return open;
    });
    spinFor(300);
    // The same wait without events: what the machine itself costs the GUI thread.
    StallMeter idle;
    idle.start();
    spinFor(4000);
    idle.stop();
    StallMeter meter;
    meter.start();
    for (int i = 0; i < 20; ++i) {
        QMetaObject::invokeMethod(
            &anchor, [&] { remote->sendAudioDelta(largest); }, Qt::QueuedConnection);
        spinFor(200);
    }
    spinUntil([&] { return large.scheduledFrames() >= 20 * (largest.size() / 2); });
    meter.stop();
    large.stop();
    onService([&] { delete remote; });
    serviceThread.quit();
    serviceThread.wait();

    const Stats l = stats(latency), i = stats(interval);
    std::printf("%d s session, %s devices\n", seconds, real ? "sound-server" : "scripted");
    std::printf("delta sent -> samples queued (%zu deltas): median %.3f ms, p95 %.3f ms, max %.3f ms\n",
                latency.size(), l.median, l.p95, l.max);
    std::printf("microphone message interval (%zu messages): median %.1f ms, p95 %.1f ms, max %.1f ms\n",
                interval.size(), i.median, i.p95, i.max);
    std::printf("largest event (%lld bytes): reading it %.2f ms; longest GUI stall while 20 arrive %.2f ms "
                "(%.2f ms in as long without events)\n",
                static_cast<long long>(largestEvent.size()), readMs,
                static_cast<double>(meter.longestNs()) / 1e6, static_cast<double>(idle.longestNs()) / 1e6);
    return 0;
}
