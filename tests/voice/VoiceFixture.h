#pragma once

#include "bridge/BridgeService.h"
#include "session/AppSession.h"
#include "session/KeychainStore.h"
#include "support/SoundFixtures.h"
#include "support/TestSupport.h"
#include "voice/AudioRecorder.h"

#include <QDir>

#include <gtest/gtest.h>

#include <memory>

#include <unistd.h>

// A signed-in session against the fake backend, with scripted sound devices
// unless a test asks for the real ones.
class VoiceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // Recordings go to a private folder under a temporary folder of this process:
        // other test processes on the machine record into their own, so the files a
        // test counts are its own.
        qputenv("TMPDIR", processTempFolder().toUtf8());
        qunsetenv("XDG_RUNTIME_DIR");
        installMemoryDefaults();
        installMemorySecrets();
        KeychainStore::save(QStringLiteral("tok"));
        AppSession::resetSharedForTesting();
        BridgeService::resetSharedForTesting();
        ScriptedResponse idle = ScriptedResponse::noContent();
        idle.holdMs = 200;
        backend.route("GET", QStringLiteral("/api/v1/bridge/tasks/next"), idle);
        backend.route("GET", QStringLiteral("/api/v1/me.json"), ScriptedResponse::json(404, "{}"));
        devices = std::make_shared<FakeAudioDevices>();
        AudioDevices::setShared(devices);
        session = std::make_unique<AppSession>();
        spinUntil([&] { return !session->isLoadingStoredToken(); });
    }
    void TearDown() override {
        session.reset();
        BridgeService::resetSharedForTesting();
        AudioDevices::setShared(nullptr);
        spinFor(50);
        // Every stream a test on the real devices opened is closed on the sound server
        // by the test's end, so that the sound client never ends with a stream open.
        if (realDevices_) {
            EXPECT_TRUE(spinUntil([] { return soundStreamsOf(::getpid()).isEmpty(); }))
                << soundStreamsOf(::getpid()).join(QStringLiteral(", ")).toStdString();
        }
    }
    void useRealDevices() {
        AudioDevices::setShared(nullptr);
        realDevices_ = soundServerAvailable();
    }

    QList<RecordedRequest> requestsTo(const QString& path) const {
        QList<RecordedRequest> out;
        for (const RecordedRequest& r : backend.requests())
            if (r.path == path)
                out.append(r);
        return out;
    }
    static QStringList recordingFiles() {
        return QDir(AudioRecorder::recordingsFolder())
            .entryList({QStringLiteral("ombrix-*.m4a")}, QDir::Files);
    }

    FakeBackend backend;
    std::shared_ptr<FakeAudioDevices> devices;
    std::unique_ptr<AppSession> session;

private:
    bool realDevices_ = false;
};
