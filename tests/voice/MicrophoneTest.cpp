// The push-to-talk screen: its road against the fake backend, its taps and labels,
// the screen going away, the real sound path, and a machine without a sound server.
#include "VoiceFixture.h"
#include "voice/AudioCodec.h"
#include "voice/MicrophoneController.h"
#include "voice/VoiceError.h"
#include "voice/widgets/MicrophoneView.h"
#include "voice/widgets/VoiceOrb.h"

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QScrollArea>
#include <QTest>

#include <cmath>
#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const PcmFormat kReplyFormat{16000, 1};

// Lowers the size files of this process may grow to, for as long as it lives (a
// write past it fails as on a full disk, instead of raising SIGXFSZ).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit lowered = previous_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

QString wavBase64(int ms = 400) {
    return QString::fromLatin1(wavFile(kReplyFormat, sinePcm(kReplyFormat, 500, 0.5, ms)).toBase64());
}

Json bodyOf(const RecordedRequest& r) {
    return json::parse(r.body);
}

class Microphone : public VoiceFixture {
protected:
    void SetUp() override {
        VoiceFixture::SetUp();
        backend.route("POST", QStringLiteral("/api/v1/recordings.json"),
                      [this](const RecordedRequest&) { return upload; });
        backend.route("POST", QStringLiteral("/api/v1/queries.json"),
                      [this](const RecordedRequest&) { return answer; });
        upload = ScriptedResponse::json(201, R"({"id": 42, "transcription": "Quelle heure est-il ?"})");
        answer = replyWith(QStringLiteral("Il est midi."), std::nullopt);
        controller = std::make_unique<MicrophoneController>(*session);
        QObject::connect(controller.get(), &MicrophoneController::changed,
                         [this] { seen.append(controller->primaryLabel()); });
    }
    void TearDown() override {
        controller.reset();
        VoiceFixture::TearDown();
    }

    static ScriptedResponse replyWith(const QString& text, std::optional<QString> audio) {
        Json body = {{"text", json::str(text)}};
        if (audio)
            body["audio_base64"] = json::str(*audio);
        return ScriptedResponse::json(200, json::dump(body));
    }

    // Records for a moment and hands the recording on; waits for the turn to end.
    void oneTurn(int recordMs = 150) {
        controller->toggle();
        ASSERT_TRUE(spinUntil([&] { return controller->recorder().isRecording(); }));
        EXPECT_EQ(controller->primaryLabel(), "À l'écoute…");
        EXPECT_EQ(controller->secondaryLabel(), "Appuie pour arrêter");
        EXPECT_EQ(controller->orbSymbol(), "waveform");
        spinFor(recordMs);
        // A recording the microphone gave nothing is not sent: wait for its first audio.
        ASSERT_TRUE(spinUntil([&] { return controller->recorder().recordedSamples() > 0; }));
        bool finished = false;
        auto c =
            QObject::connect(controller.get(), &MicrophoneController::turnFinished, [&] { finished = true; });
        controller->toggle();
        EXPECT_TRUE(controller->isBusy());
        EXPECT_TRUE(spinUntil([&] { return finished; }));
        QObject::disconnect(c);
    }

    ScriptedResponse upload;
    ScriptedResponse answer;
    std::unique_ptr<MicrophoneController> controller;
    QStringList seen;
};

} // namespace

TEST_F(Microphone, RoadSendsWhatTheSettingsSayAndVoicesTheReply) {
    struct Case {
        Provider provider;
        AudioOutput output;
        QString voice;
        bool whisper;
        bool replyAudio;
        // expected
        std::optional<QString> model;
        bool asksAudio;
        bool playsBackendAudio;
    } cases[] = {
        {Provider::OpenAI, AudioOutput::Auto, "", true, true, "gpt-x", true, true},
        {Provider::OpenAI, AudioOutput::Gpt, "verse", false, true, "gpt-x", true, true},
        {Provider::OpenAI, AudioOutput::Local, "", true, true, "gpt-x", false, false},
        {Provider::OpenAI, AudioOutput::Auto, "", true, false, "gpt-x", true, false},
        {Provider::Anthropic, AudioOutput::Gpt, "", true, true, "gpt-x", false, true},
        {Provider::Local, AudioOutput::Auto, "", true, false, "org/local-model", false, false},
    };
    session->setSelectedCloudModel("gpt-x");
    session->setSelectedLocalModel("org/local-model");
    for (const Case& c : cases) {
        SCOPED_TRACE(rawValue(c.provider).toStdString() + "/" + rawValue(c.output).toStdString());
        session->setProvider(c.provider);
        session->setAudioOutput(c.output);
        session->setAudioVoice(c.voice);
        session->setWhisperTranscription(c.whisper);
        answer = replyWith("Il est midi.", c.replyAudio ? std::optional<QString>(wavBase64()) : std::nullopt);
        backend.clearRequests();
        devices->outputs.clear();
        seen.clear();
        const QStringList filesBefore = recordingFiles();

        oneTurn();

        // Upload: an .m4a of the recording, in French, transcription as set.
        const QList<RecordedRequest> uploads = requestsTo("/api/v1/recordings.json");
        ASSERT_EQ(uploads.size(), 1);
        EXPECT_EQ(uploads[0].header("X-User-Token"), QByteArray("tok"));
        EXPECT_TRUE(uploads[0].body.contains("name=\"recording[language]\"\r\n\r\nfr-FR\r\n"));
        EXPECT_EQ(uploads[0].body.contains("recording[skip_transcription]"), !c.whisper);
        EXPECT_TRUE(uploads[0].body.contains("filename=\"ombrix-"));
        EXPECT_TRUE(uploads[0].body.contains("Content-Type: audio/m4a\r\n\r\n"));
        EXPECT_TRUE(uploads[0].body.contains("ftypM4A"));
        const QByteArray msField = "name=\"recording[recording_ms]\"\r\n\r\n";
        const qsizetype at = uploads[0].body.indexOf(msField);
        ASSERT_GE(at, 0);
        EXPECT_GE(uploads[0].body.mid(at + msField.size()).split('\r').first().toLongLong(), 150);
        // Query: recording id, transcription, provider, model, audio and voice.
        const QList<RecordedRequest> queries = requestsTo("/api/v1/queries.json");
        ASSERT_EQ(queries.size(), 1);
        const Json q = bodyOf(queries[0]);
        EXPECT_EQ(q["recording_id"], 42);
        EXPECT_EQ(q["text"], "Quelle heure est-il ?");
        EXPECT_EQ(json::qstr(q["provider"]), rawValue(c.provider));
        EXPECT_EQ(json::qstr(q["model"]), *c.model);
        EXPECT_EQ(q.contains("audio"), c.asksAudio);
        if (c.asksAudio) {
            EXPECT_EQ(json::qstr(q["voice"]), c.voice.isEmpty() ? "alloy" : c.voice);
        }
        // The statuses on the way and the reply.
        EXPECT_TRUE(seen.contains(c.whisper ? "Transcription…" : "Envoi…"));
        EXPECT_TRUE(seen.contains("Réflexion…"));
        EXPECT_EQ(controller->reply(), "Il est midi.");
        EXPECT_EQ(controller->status(), "Appuie pour parler");
        EXPECT_FALSE(controller->isBusy());
        // Voiced once, by the backend's audio or by speech, never both.
        ASSERT_TRUE(spinUntil([&] { return controller->isVoicing(); }));
        EXPECT_EQ(controller->primaryLabel(), "Ombrix parle…");
        EXPECT_EQ(controller->secondaryLabel(), "Appuie pour couper");
        EXPECT_EQ(controller->player().isPlaying(), c.playsBackendAudio);
        EXPECT_EQ(controller->synth().isSpeaking(), !c.playsBackendAudio);
        ASSERT_EQ(devices->outputs.size(), 1u);
        EXPECT_EQ(devices->outputs[0]->format, c.playsBackendAudio ? kReplyFormat : (PcmFormat{22050, 1}));
        ASSERT_TRUE(spinUntil([&] { return !controller->isVoicing(); }));
        EXPECT_GT(rmsOf(devices->outputs[0]->played), 0.01);
        EXPECT_EQ(controller->primaryLabel(), "Appuie pour parler");
        EXPECT_EQ(controller->secondaryLabel(),
                  QStringLiteral("Mode push-to-talk · %1").arg(label(c.output)));
        // The recording is gone once the turn has ended (the voice stops first).
        EXPECT_TRUE(spinUntil([&] { return recordingFiles() == filesBefore; }));
        EXPECT_EQ(recordingFiles(), filesBefore);
    }
}

TEST_F(Microphone, RepliesThatFallBackToSpeechOrSayNothing) {
    session->setProvider(Provider::OpenAI);
    struct Case {
        ScriptedResponse reply;
        QString shown;
        int outputs;
    } cases[] = {
        {replyWith("Bonjour.", QString("")), "Bonjour.", 1},             // empty audio: speech
        {replyWith("Bonjour.", QString("UklG\nRg==")), "Bonjour.", 1},   // line break: speech
        {replyWith("Bonjour.", QString("bm90IGF1ZGlv")), "Bonjour.", 1}, // not audio: speech
        {replyWith("", wavBase64()), "", 1},                             // audio without text still plays
        {replyWith("", std::nullopt), "", 0},                            // nothing to say
    };
    for (const Case& c : cases) {
        answer = c.reply;
        devices->outputs.clear();
        oneTurn();
        EXPECT_EQ(controller->reply(), c.shown);
        EXPECT_EQ(controller->status(), "Appuie pour parler");
        spinUntil([&] { return controller->isVoicing(); }, c.outputs ? kEventWaitMs : 300);
        EXPECT_EQ(static_cast<int>(devices->outputs.size()), c.outputs);
        if (c.outputs && !c.shown.isEmpty()) {
            EXPECT_TRUE(controller->synth().isSpeaking());
        }
        controller->toggle(); // cuts whatever is voiced
        EXPECT_FALSE(controller->isVoicing());
    }
}

TEST_F(Microphone, TapsFollowTheStateTable) {
    // Microphone missing, or refusing to start.
    devices->microphone = false;
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->status() == "Accès microphone refusé"; }));
    EXPECT_FALSE(controller->recorder().isRecording());
    devices->microphone = true;
    devices->microphoneStarts = false;
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->status() == "Démarrage de l'enregistrement refusé"; }));
    EXPECT_FALSE(controller->recorder().isRecording());
    EXPECT_TRUE(recordingFiles().isEmpty());
    devices->microphoneStarts = true;

    // Busy: a held upload; taps are ignored and the orb shows the status.
    const ScriptedResponse answered = upload;
    auto uploadGoes = std::make_shared<bool>(false);
    upload = ScriptedResponse::heldUntil(answered, uploadGoes);
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().recordedSamples() > 0; }));
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->isBusy() && !controller->recorder().isRecording(); }));
    const int opened = devices->inputsOpened;
    controller->toggle();
    controller->toggle();
    EXPECT_EQ(devices->inputsOpened, opened);
    EXPECT_EQ(controller->primaryLabel(), "Transcription…");
    EXPECT_EQ(controller->orbSymbol(), "mic.fill");
    EXPECT_FALSE(controller->orbActive());
    *uploadGoes = true;
    upload = answered;

    // Voicing: a tap cuts the voice, keeps the reply, records nothing; the next tap records.
    ASSERT_TRUE(spinUntil([&] { return controller->isVoicing(); }));
    controller->toggle();
    EXPECT_FALSE(controller->isVoicing());
    EXPECT_EQ(controller->status(), "Appuie pour parler");
    EXPECT_EQ(controller->reply(), "Il est midi.");
    EXPECT_EQ(devices->inputsOpened, opened);
    EXPECT_EQ(devices->playingOutputs(), 0);
    controller->toggle();
    EXPECT_TRUE(spinUntil([&] { return controller->recorder().isRecording(); }));
    EXPECT_TRUE(controller->reply().isEmpty());
    controller->leave();

    // A failed upload: its error, no reply, the orb usable again, the file gone.
    upload = ScriptedResponse::text(500, "panne");
    oneTurn();
    EXPECT_EQ(controller->status(), "Erreur HTTP 500 : panne");
    EXPECT_TRUE(controller->reply().isEmpty());
    EXPECT_FALSE(controller->isBusy());
    EXPECT_TRUE(recordingFiles().isEmpty());
    // And a failed query the same way.
    upload = ScriptedResponse::json(201, R"({"id": 1})");
    answer = ScriptedResponse::json(200, R"({"no_text": true})");
    oneTurn();
    EXPECT_EQ(controller->status(), "Réponse illisible du serveur");
    EXPECT_TRUE(recordingFiles().isEmpty());
}

TEST_F(Microphone, RecordingsStayPrivateAndDoNotOutliveTheirTurn) {
    const auto modeOf = [](const QString& path) {
        struct stat info {};
        return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0xFFFF;
    };
    const auto touch = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly);
    };
    QString why;
    const QString folder = AudioRecorder::recordingsFolder(&why);
    ASSERT_FALSE(folder.isEmpty()) << why.toStdString();
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(QFileInfo(folder).path()), 0700u);

    // What a crash left behind goes at the next start, and nothing else.
    ASSERT_TRUE(touch(folder + "/ombrix-1B2C3D4E-0000-0000-0000-000000000000.m4a"));
    ASSERT_TRUE(touch(folder + "/notes.txt"));
    EXPECT_EQ(AudioRecorder::removeLeftovers(), 1);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{"notes.txt"});
    QFile::remove(folder + "/notes.txt");

    // While it records, the file is readable by this user only; after the turn it is gone.
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().isRecording(); }));
    ASSERT_EQ(recordingFiles().size(), 1);
    EXPECT_EQ(modeOf(folder + "/" + recordingFiles().first()), 0600u);
    EXPECT_TRUE(QDir(QDir::tempPath()).entryList({"ombrix-*.m4a"}, QDir::Files).isEmpty());
    controller->leave();
    upload = ScriptedResponse::text(500, "panne"); // a turn that ends without a reply to speak
    oneTurn();
    EXPECT_EQ(controller->status(), "Erreur HTTP 500 : panne");
    EXPECT_TRUE(recordingFiles().isEmpty());

    // A folder others may enter, or one that is a link, is not recorded into.
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "link" : "mode 0755");
        const QString moved = folder + "-moved";
        if (link) {
            ASSERT_TRUE(QDir().rename(folder, moved));
            ASSERT_TRUE(QFile::link(moved, folder));
        } else {
            ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        }
        EXPECT_TRUE(AudioRecorder::recordingsFolder().isEmpty());
        controller->toggle();
        EXPECT_TRUE(
            spinUntil([&] { return controller->status() == "Impossible de préparer l'enregistrement"; }));
        EXPECT_FALSE(controller->recorder().isRecording());
        EXPECT_TRUE(QDir(folder).entryList({"ombrix-*.m4a"}, QDir::Files).isEmpty());
        if (link) {
            ASSERT_TRUE(QFile::remove(folder));
            ASSERT_TRUE(QDir().rename(moved, folder));
        } else {
            ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0700), 0);
        }
    }
    EXPECT_EQ(AudioRecorder::recordingsFolder(), folder);
}

TEST_F(Microphone, LeavingStopsEverythingAndLateAnswersWriteNothing) {
    // Leaving while recording: the recorder stops and its file goes.
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().isRecording(); }));
    spinFor(100);
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().recordedSamples() > 0; }));
    controller->leave();
    EXPECT_FALSE(controller->recorder().isRecording());
    EXPECT_TRUE(spinUntil([&] { return recordingFiles().isEmpty(); }));

    // Leaving while the upload runs: it finishes and deletes its file; nothing more is
    // asked of the backend and nothing is written to the screen.
    upload.holdMs = 400;
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().isRecording(); }));
    spinFor(100);
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().recordedSamples() > 0; }));
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return requestsTo("/api/v1/recordings.json").size() == 1; }));
    controller->leave();
    EXPECT_FALSE(controller->isBusy());
    const QString statusAtLeave = controller->status();
    ASSERT_TRUE(spinUntil([&] { return recordingFiles().isEmpty(); }));
    spinFor(500);
    EXPECT_EQ(requestsTo("/api/v1/recordings.json").size(), 1);
    EXPECT_TRUE(requestsTo("/api/v1/queries.json").isEmpty());
    EXPECT_EQ(controller->status(), statusAtLeave);
    EXPECT_TRUE(controller->reply().isEmpty());
    EXPECT_FALSE(controller->isVoicing());
    EXPECT_TRUE(recordingFiles().isEmpty());

    // The controller destroyed while the upload runs: nothing crashes, the file goes.
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().isRecording(); }));
    spinFor(100);
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().recordedSamples() > 0; }));
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return requestsTo("/api/v1/recordings.json").size() == 2; }));
    controller.reset();
    EXPECT_TRUE(spinUntil([&] { return recordingFiles().isEmpty(); }));
    spinFor(500);
    EXPECT_TRUE(requestsTo("/api/v1/queries.json").isEmpty());
}

TEST_F(Microphone, ScreenDrawsItsStatesAndTakesClicks) {
    MicrophoneView view(*session);
    view.resize(360, 480);
    view.show();
    EXPECT_EQ(view.primaryLabel()->text(), "Appuie pour parler");
    EXPECT_EQ(view.secondaryLabel()->text(), "Mode push-to-talk · Auto");
    EXPECT_FALSE(view.replyArea()->isVisible());
    saveScreenshot(&view, "push-to-talk-idle");

    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    ASSERT_TRUE(spinUntil([&] { return view.controller().recorder().isRecording(); }));
    ASSERT_TRUE(spinUntil([&] { return view.controller().recorder().level() > 0.5f; }));
    EXPECT_EQ(view.primaryLabel()->text(), "À l'écoute…");
    EXPECT_EQ(view.orb()->look().symbol, "waveform");
    EXPECT_NEAR(view.orb()->glowScale(), 1 + 0.25 * view.controller().recorder().level(), 1e-6);
    saveScreenshot(&view, "push-to-talk-recording");

    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    ASSERT_TRUE(spinUntil([&] { return view.controller().isVoicing(); }));
    EXPECT_TRUE(view.replyArea()->isVisible());
    EXPECT_EQ(view.primaryLabel()->text(), "Ombrix parle…");
    saveScreenshot(&view, "push-to-talk-voicing");
}

// A recording with no audio at all (two taps in one turn of the event loop) is not
// sent, and the screen says it was too short. Recording on the screen logs no
// warning of a negative size.
namespace {
QAtomicInt negativeSizeWarnings;
void countNegativeSizes(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (message.contains(QLatin1String("Negative sizes")))
        negativeSizeWarnings.ref();
}
} // namespace

TEST_F(Microphone, ARecordingWithoutAudioIsNotSent) {
    negativeSizeWarnings.storeRelaxed(0);
    const QtMessageHandler previous = qInstallMessageHandler(countNegativeSizes);
    MicrophoneView view(*session);
    view.resize(360, 480);
    view.show();
    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    MicrophoneController& c = view.controller();
    ASSERT_TRUE(spinUntil([&] { return !c.isBusy() && c.status() == "Enregistrement trop court"; }));
    EXPECT_EQ(view.primaryLabel()->text(), "Enregistrement trop court");
    EXPECT_TRUE(spinUntil([&] { return recordingFiles().isEmpty(); }));
    spinFor(200);
    EXPECT_TRUE(requestsTo("/api/v1/recordings.json").isEmpty());
    EXPECT_TRUE(requestsTo("/api/v1/queries.json").isEmpty());

    // A recording with audio goes on as usual, and the screen logged no negative size.
    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    ASSERT_TRUE(spinUntil([&] { return c.recorder().isRecording(); }));
    spinFor(500);
    ASSERT_TRUE(spinUntil([&] { return c.recorder().recordedSamples() > 0; }));
    QTest::mouseClick(view.orb(), Qt::LeftButton, {}, QPoint(110, 110));
    ASSERT_TRUE(spinUntil([&] { return c.reply() == "Il est midi."; }));
    EXPECT_EQ(requestsTo("/api/v1/recordings.json").size(), 1);
    qInstallMessageHandler(previous);
    EXPECT_EQ(negativeSizeWarnings.loadRelaxed(), 0);
}

// Hiding the screen (the popover closing) is not leaving it: a turn under way goes
// on, its reply is voiced and lands, and the screen is truthful when shown again.
// A recording running when the screen hides is handed on.
TEST_F(Microphone, HiddenScreenKeepsTheTurnGoing) {
    MicrophoneView view(*session);
    view.resize(360, 480);
    MicrophoneController& c = view.controller();
    bool finished = false;
    QObject::connect(&c, &MicrophoneController::turnFinished, [&] { finished = true; });
    for (bool hideWhileRecording : {false, true}) {
        SCOPED_TRACE(hideWhileRecording);
        finished = false;
        backend.clearRequests();
        devices->outputs.clear();
        upload.holdMs = 400;
        view.show();
        c.toggle();
        ASSERT_TRUE(spinUntil([&] { return c.recorder().isRecording(); }));
        spinFor(150);
        ASSERT_TRUE(spinUntil([&] { return c.recorder().recordedSamples() > 0; }));
        if (!hideWhileRecording) {
            c.toggle();
            ASSERT_TRUE(spinUntil([&] { return requestsTo("/api/v1/recordings.json").size() == 1; }));
        }
        view.hide();
        EXPECT_FALSE(c.recorder().isRecording());
        ASSERT_TRUE(spinUntil([&] { return finished; }));
        ASSERT_TRUE(spinUntil([&] { return c.isVoicing(); }));
        EXPECT_EQ(requestsTo("/api/v1/queries.json").size(), 1);
        ASSERT_TRUE(spinUntil([&] { return !c.isVoicing(); }));
        ASSERT_EQ(devices->outputs.size(), 1u);
        EXPECT_GT(rmsOf(devices->outputs[0]->played), 0.01);
        view.show();
        EXPECT_EQ(view.primaryLabel()->text(), "Appuie pour parler");
        EXPECT_FALSE(c.isBusy());
        EXPECT_TRUE(view.replyArea()->isVisible());
        EXPECT_TRUE(recordingFiles().isEmpty());
    }
    upload.holdMs = 0;
}

// Texts from the backend (the reply, an error) are shown as they came, never as markup.
TEST_F(Microphone, BackendTextIsShownAsText) {
    MicrophoneView view(*session);
    view.resize(360, 480);
    view.show();
    MicrophoneController& c = view.controller();
    auto turn = [&](bool voiced) {
        bool finished = false;
        auto connection = QObject::connect(&c, &MicrophoneController::turnFinished, [&] { finished = true; });
        c.toggle();
        ASSERT_TRUE(spinUntil([&] { return c.recorder().isRecording(); }));
        spinFor(100);
        ASSERT_TRUE(spinUntil([&] { return c.recorder().recordedSamples() > 0; }));
        c.toggle();
        ASSERT_TRUE(spinUntil([&] { return finished; }));
        QObject::disconnect(connection);
        if (voiced) {
            ASSERT_TRUE(spinUntil([&] { return c.isVoicing(); }));
            c.toggle(); // cuts the voice
        }
    };
    answer = replyWith("<b>x</b> a < b et c > d", std::nullopt);
    turn(true);
    const auto* reply = view.replyArea()->widget();
    const auto* replyLabel = qobject_cast<const QLabel*>(reply);
    ASSERT_NE(replyLabel, nullptr);
    EXPECT_EQ(replyLabel->text(), "<b>x</b> a < b et c > d");
    EXPECT_EQ(replyLabel->textFormat(), Qt::PlainText);
    upload = ScriptedResponse::text(500, "<b>x</b>");
    turn(false);
    EXPECT_EQ(view.primaryLabel()->text(), "Erreur HTTP 500 : <b>x</b>");
    EXPECT_EQ(view.primaryLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(view.secondaryLabel()->textFormat(), Qt::PlainText);
}

// A recording whose file cannot be written (the disk refuses the last bytes) ends
// the turn on an error: nothing is uploaded and no file is left.
TEST_F(Microphone, RecordingThatCannotBeWrittenShowsAnError) {
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().isRecording(); }));
    spinFor(150);
    ASSERT_TRUE(spinUntil([&] { return controller->recorder().recordedSamples() > 0; }));
    bool finished = false;
    QObject::connect(controller.get(), &MicrophoneController::turnFinished, [&] { finished = true; });
    {
        // Files of this process may not grow past one byte: writing the recording fails.
        FileSizeLimit limit(1);
        controller->toggle();
        ASSERT_TRUE(spinUntil([&] { return finished; }));
    }
    EXPECT_EQ(controller->status(), "Impossible de terminer l'enregistrement");
    EXPECT_EQ(controller->primaryLabel(), "Impossible de terminer l'enregistrement");
    EXPECT_FALSE(controller->isBusy());
    EXPECT_TRUE(requestsTo("/api/v1/recordings.json").isEmpty());
    EXPECT_TRUE(recordingFiles().isEmpty());
}

// ---- The real sound path ---------------------------------------------------------------

TEST_F(Microphone, RealSoundRoadPlaysBackendAudioAndSpeech) {
    SKIP_WITHOUT_SOUND_SERVER();
    useRealDevices();
    controller = std::make_unique<MicrophoneController>(*session);
    for (bool backendAudio : {true, false}) {
        SCOPED_TRACE(backendAudio);
        answer = replyWith("Il fait beau aujourd'hui à Paris.",
                           backendAudio ? std::optional<QString>(wavBase64(800)) : std::nullopt);
        SinkCapture capture;
        ASSERT_TRUE(capture.start());
        oneTurn(400);
        ASSERT_TRUE(spinUntil([&] { return controller->isVoicing(); }));
        EXPECT_EQ(controller->player().isPlaying(), backendAudio);
        ASSERT_TRUE(spinUntil([&] { return !controller->isVoicing(); }));
        // The monitor delivers what was played with a delay of its own.
        EXPECT_TRUE(spinUntil([&] { return loudestRms(capture.captured(), capture.format(), 500) > 0.02; }));
        capture.stop();
        // The upload carried a real AAC recording.
        const RecordedRequest up = requestsTo("/api/v1/recordings.json").last();
        EXPECT_TRUE(up.body.contains("ftypM4A"));
        EXPECT_TRUE(recordingFiles().isEmpty());
    }
}

// Without any sound server (a child process pointed at a socket where none
// listens): the screen says the microphone is unavailable and nothing crashes.
TEST_F(Microphone, WithoutSoundServer) {
    if (qEnvironmentVariable("OMBRIX_TEST_NO_SOUND_CHILD") != "1") {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("OMBRIX_TEST_NO_SOUND_CHILD", "1");
        env.insert("PULSE_SERVER", "unix:/nonexistent/ombrix-no-sound");
        env.remove("OMBRIX_TEST_SOUND");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=Microphone.WithoutSoundServer"});
        ASSERT_TRUE(child.waitForFinished(60000));
        const QByteArray out = child.readAll();
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
        return;
    }
    useRealDevices();
    controller = std::make_unique<MicrophoneController>(*session);
    controller->toggle();
    ASSERT_TRUE(spinUntil([&] { return controller->status() == "Accès microphone refusé"; }));
    EXPECT_FALSE(controller->recorder().isRecording());
    EXPECT_THROW(controller->recorder().start(), VoiceError);
    EXPECT_FALSE(runTask(controller->player().play(wavFile(kReplyFormat, silencePcm(kReplyFormat, 100)))));
    controller->synth().speak("Bonjour.", "fr-FR");
    spinFor(500);
    EXPECT_FALSE(controller->synth().isSpeaking());
}
