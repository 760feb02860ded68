// The recorder, the player and the speech synthesiser: codec and rules offline,
// then the real path through the private sound server (null sink as the speaker,
// its monitor remapped as the microphone).
#include "support/SoundFixtures.h"
#include "support/TestSupport.h"
#include "voice/AudioCodec.h"
#include "voice/AudioPlayer.h"
#include "voice/AudioRecorder.h"
#include "voice/SoundModule.h"
#include "voice/SpeechSynth.h"
#include "voice/VoiceError.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// The level the recorder shows for a sine of this amplitude.
float sineLevel(double amplitude) {
    return AudioRecorder::levelForPower(20 * std::log10(amplitude / std::sqrt(2.0)));
}

class RealDevices : public ::testing::Test {
protected:
    void SetUp() override { AudioDevices::setShared(nullptr); }
    // Every stream a test opened is closed on the sound server by the test's end, so
    // that the sound client never ends with a stream open.
    void TearDown() override {
        if (!soundServerAvailable())
            return;
        EXPECT_TRUE(spinUntil([] { return soundStreamsOf(::getpid()).isEmpty(); }))
            << soundStreamsOf(::getpid()).join(QStringLiteral(", ")).toStdString();
    }
};

} // namespace

TEST(AudioRules, LevelFromPower) {
    struct Case {
        double db;
        float level;
    } cases[] = {{-160, 0}, {-60, 0}, {-61, 0}, {-45, 0.25f}, {-30, 0.5f}, {0, 1}, {6, 1}};
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(AudioRecorder::levelForPower(c.db), c.level) << c.db;
    // Average power of PCM: full-scale square wave 0 dB, half amplitude -6 dB, nothing -160.
    EXPECT_NEAR(AudioRecorder::averagePowerDb(2.0 * 32768.0 * 32768.0, 2), 0, 1e-9);
    EXPECT_NEAR(AudioRecorder::averagePowerDb(16384.0 * 16384.0, 1), -6.02, 0.01);
    EXPECT_EQ(AudioRecorder::averagePowerDb(0, 100), -160);
    EXPECT_EQ(AudioRecorder::averagePowerDb(5, 0), -160);
}

TEST(AudioRules, StrictBase64) {
    EXPECT_EQ(AudioPlayer::strictBase64("AAEC"), QByteArray("\x00\x01\x02", 3));
    EXPECT_EQ(AudioPlayer::strictBase64("YQ=="), QByteArray("a"));
    for (const QString& bad : {QString(""), QString("YQ"), QString("AA\nEC"), QString("AA EC"),
                               QString("AAE*"), QString("AAEC=="), QString("ÀAEC")})
        EXPECT_FALSE(AudioPlayer::strictBase64(bad).has_value()) << bad.toStdString();
}

TEST(AudioRules, VoiceChoice) {
    using Q = SpeechSynth::Quality;
    auto v = [](const char* name, const char* lang, Q q) { return SpeechSynth::Voice{name, name, lang, q}; };
    struct Case {
        QList<SpeechSynth::Voice> voices;
        std::optional<QString> chosen;
    } cases[] = {
        {{v("a", "fr-FR", Q::Default), v("b", "fr-FR", Q::Enhanced), v("c", "fr-FR", Q::Premium),
          v("d", "fr-FR", Q::Premium)},
         "c"},
        {{v("a", "fr-FR", Q::Default), v("b", "fr-FR", Q::Enhanced), v("c", "fr-FR", Q::Enhanced)}, "b"},
        {{v("a", "fr-CA", Q::Premium), v("b", "fr-FR", Q::Default), v("c", "fr-FR", Q::Default)}, "b"},
        {{v("a", "fr-CA", Q::Premium), v("b", "fr", Q::Premium), v("c", "fr-fr", Q::Premium)}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto chosen = SpeechSynth::bestVoice(c.voices, "fr-FR");
        EXPECT_EQ(chosen ? std::optional<QString>(chosen->name) : std::nullopt, c.chosen);
    }
    EXPECT_EQ(SpeechSynth::bcp47Language("fr"), "fr-FR");
    EXPECT_EQ(SpeechSynth::bcp47Language("fr-fr"), "fr-FR");
    EXPECT_EQ(SpeechSynth::bcp47Language("fr-be"), "fr-BE");
    EXPECT_EQ(SpeechSynth::bcp47Language("en-us-nyc"), "en-US-nyc");
    // eSpeak NG's own French voice answers "fr-FR".
    const auto french = SpeechSynth::bestVoice(SpeechSynth::installedVoices(), "fr-FR");
    ASSERT_TRUE(french.has_value());
    EXPECT_EQ(french->language, "fr-FR");
}

TEST(AudioCodec, AacFileReadsBackAsMonoAacAt44100) {
    QTemporaryDir dir;
    // From 48 kHz stereo (resampled) and from 44.1 kHz mono (as is), fed in small pieces.
    for (PcmFormat input : {PcmFormat{48000, 2}, PcmFormat{44100, 1}, PcmFormat{8000, 1}}) {
        const QString path = dir.filePath(QStringLiteral("r%1.m4a").arg(input.sampleRate));
        AacFileWriter writer;
        ASSERT_TRUE(writer.open(path, input));
        const QByteArray pcm = sinePcm(input, 440, 0.5, 1000);
        for (qsizetype at = 0; at < pcm.size(); at += 1000)
            ASSERT_TRUE(writer.write(pcm.mid(at, 1000)));
        ASSERT_TRUE(writer.finish());
        const DecodedAudio audio = decodeAudio(readAll(path));
        EXPECT_EQ(audio.codecName, "aac");
        EXPECT_EQ(audio.format, (PcmFormat{44100, 1}));
        EXPECT_NEAR(audio.durationMs(), 1000, 60) << input.sampleRate;
        EXPECT_NEAR(rmsOf(audio.pcm), 0.5 / std::sqrt(2.0), 0.05);
        EXPECT_EQ(readAll(path).mid(4, 4), "ftyp");
    }
    // A file that cannot be created fails to open.
    AacFileWriter writer;
    EXPECT_FALSE(writer.open(dir.filePath("missing/folder/r.m4a"), {48000, 1}));
    EXPECT_FALSE(writer.write(silencePcm({48000, 1}, 10)));
}

TEST(AudioCodec, DecodingRefusesWhatIsNotAudioOrTooLong) {
    const PcmFormat format{16000, 1};
    const QByteArray wav = wavFile(format, sinePcm(format, 300, 0.3, 2000));
    const DecodedAudio ok = decodeAudio(wav);
    EXPECT_EQ(ok.format, format);
    EXPECT_EQ(ok.pcm.size(), 2 * 32000);
    // Stereo beyond two channels is folded to two; rate kept.
    const PcmFormat six{22050, 6};
    EXPECT_EQ(decodeAudio(wavFile(six, sinePcm(six, 300, 0.3, 100))).format, (PcmFormat{22050, 2}));
    for (const QByteArray& bad : {QByteArray(), QByteArray("not audio at all"), QByteArray(4096, '\0'),
                                  wav.left(44), QByteArray("#EXTM3U\n#EXTINF:1,\nfile:///etc/passwd\n"),
                                  QByteArray("ffconcat version 1.0\nfile /etc/passwd\n")})
        EXPECT_THROW(decodeAudio(bad), AudioDecodeError) << bad.left(20).toStdString();
    // The bound on the decoded length.
    EXPECT_THROW(decodeAudio(wav, 500), AudioDecodeError);
    EXPECT_NO_THROW(decodeAudio(wav, 2500));
}

TEST(AudioCodec, ConverterStreamsLikeWhole) {
    const PcmFormat from{48000, 2}, to{24000, 1};
    const QByteArray pcm = sinePcm(from, 440, 0.4, 500);
    PcmConverter whole(from, to), pieces(from, to);
    const QByteArray a = whole.convert(pcm) + whole.flush();
    QByteArray b;
    for (qsizetype at = 0; at < pcm.size(); at += 4 * 333)
        b += pieces.convert(pcm.mid(at, 4 * 333));
    b += pieces.flush();
    // The same samples, piece by piece; the filter's tail may differ by a few samples.
    EXPECT_NEAR(a.size(), b.size(), 2 * 64);
    double worst = 0;
    for (qsizetype i = 0; i < std::min(a.size(), b.size()) / 2; ++i)
        worst = std::max(worst, std::abs(double(reinterpret_cast<const qint16*>(a.constData())[i]) -
                                         reinterpret_cast<const qint16*>(b.constData())[i]));
    EXPECT_LE(worst, 2);
    EXPECT_NEAR(a.size() / 2, 12000, 40);
    EXPECT_NEAR(rmsOf(a), 0.4 / std::sqrt(2.0), 0.02);
    EXPECT_FALSE(PcmConverter({0, 1}, to).isValid());
}

TEST(AudioCodec, FifoBoundsAndEnd) {
    PcmFifo fifo(10);
    EXPECT_EQ(fifo.append("abcdefgh"), 8);
    EXPECT_EQ(fifo.append("ijklmn"), 2); // only whole samples up to the bound
    EXPECT_EQ(fifo.droppedBytes(), 4);
    char buf[6];
    EXPECT_EQ(fifo.read(buf, 6), 6);
    EXPECT_GT(fifo.firstReadNs(), 0);
    EXPECT_EQ(fifo.append("op"), 2);
    EXPECT_FALSE(fifo.drained());
    fifo.markEnded();
    EXPECT_EQ(fifo.append("qr"), 0);
    EXPECT_EQ(fifo.readAll(), "ghijop");
    EXPECT_TRUE(fifo.drained());
}

// ---- The real path ---------------------------------------------------------------------

TEST_F(RealDevices, RecorderRecordsWhatTheSinkPlays) {
    SKIP_WITHOUT_SOUND_SERVER();
    AudioRecorder recorder;
    EXPECT_TRUE(runTask(recorder.requestPermission()));
    QList<float> levels;
    QObject::connect(&recorder, &AudioRecorder::levelChanged, [&] { levels.append(recorder.level()); });

    const QString path = recorder.start();
    EXPECT_TRUE(QRegularExpression("^ombrix-[0-9A-F]{8}-([0-9A-F]{4}-){3}[0-9A-F]{12}\\.m4a$")
                    .match(QFileInfo(path).fileName())
                    .hasMatch());
    EXPECT_EQ(QFileInfo(path).absolutePath(), AudioRecorder::recordingsFolder());
    EXPECT_TRUE(recorder.isRecording());
    // The capture runs once its first samples have come; the server lists its stream
    // as this process's (what the check at the end of each test looks for).
    ASSERT_TRUE(spinUntil([&] { return recorder.recordedSamples() > 0; }));
    EXPECT_EQ(soundStreamsOf(::getpid()).size(), 1) << soundStreamsOf(::getpid()).join(", ").toStdString();
    const PcmFormat format{48000, 1};
    SinkPlayer sine;
    ASSERT_TRUE(sine.play(sinePcm(format, 440, 0.5, 1000) + silencePcm(format, 800), format));
    // The null sink delivers its monitor with a delay of its own: wait for the sine
    // to show, then for the silence after it. The level the sine showed is the
    // highest shown (the pieces across its edges show less).
    EXPECT_TRUE(spinUntil([&] { return recorder.level() > 0.5; }));
    sine.waitFinished();
    EXPECT_TRUE(spinUntil([&] { return recorder.level() == 0; }));
    const float afterSine = recorder.level();
    const float duringSine = levels.isEmpty() ? 0 : *std::max_element(levels.begin(), levels.end());
    const std::optional<QString> stopped = runTask(recorder.stop());
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(recorder.level(), 0);
    ASSERT_EQ(stopped, path);

    EXPECT_NEAR(duringSine, sineLevel(0.5), 0.06);
    EXPECT_EQ(afterSine, 0);
    EXPECT_GE(levels.size(), 10); // every 0.1 s while samples arrive

    const DecodedAudio audio = decodeAudio(readAll(path));
    EXPECT_EQ(audio.codecName, "aac");
    EXPECT_EQ(audio.format, (PcmFormat{44100, 1}));
    EXPECT_GT(audio.durationMs(), 1200);                       // the sine, and the waits around it
    EXPECT_GT(loudestRms(audio.pcm, audio.format, 500), 0.25); // the sine at -9 dB
    QFile::remove(path);

    // A second recording gets another name; neither file is deleted by the recorder.
    const QString second = recorder.start();
    EXPECT_NE(second, path);
    ASSERT_TRUE(spinUntil([&] { return recorder.recordedSamples() > 0; }));
    EXPECT_EQ(runTask(recorder.stop()), second);
    EXPECT_TRUE(QFile::exists(second));
    QFile::remove(second);
    // Stop without a recording: nothing, and the flags are published again.
    int published = 0;
    QObject::connect(&recorder, &AudioRecorder::isRecordingChanged, [&] { ++published; });
    EXPECT_EQ(runTask(recorder.stop()), std::nullopt);
    EXPECT_EQ(published, 1);
}

TEST_F(RealDevices, PlayerPlaysBytesIntoTheSinkAndEnds) {
    SKIP_WITHOUT_SOUND_SERVER();
    SinkCapture capture;
    ASSERT_TRUE(capture.start());
    AudioPlayer player;
    const PcmFormat format{22050, 1};
    const bool started = runTask(player.play(wavFile(format, sinePcm(format, 660, 0.6, 700))));
    EXPECT_TRUE(started);
    EXPECT_TRUE(player.isPlaying());
    EXPECT_TRUE(spinUntil([&] { return !player.isPlaying(); }));
    // The monitor delivers what was played with a delay of its own.
    EXPECT_TRUE(spinUntil([&] { return loudestRms(capture.captured(), capture.format(), 200) > 0.3; }));
    capture.stop();

    // Undecodable bytes never set isPlaying; stop while nothing plays still publishes.
    int changes = 0;
    QObject::connect(&player, &AudioPlayer::isPlayingChanged, [&] { ++changes; });
    EXPECT_FALSE(runTask(player.play("garbage bytes")));
    EXPECT_FALSE(player.isPlaying());
    changes = 0;
    player.stop();
    EXPECT_EQ(changes, 1);

    // stop() cuts a playback at once; a play() superseded while decoding never starts.
    EXPECT_TRUE(runTask(player.play(wavFile(format, sinePcm(format, 660, 0.6, 3000)))));
    player.stop();
    EXPECT_FALSE(player.isPlaying());
    auto first = player.play(wavFile(format, sinePcm(format, 660, 0.6, 3000)));
    player.stop();
    EXPECT_FALSE(runTask(std::move(first)));
    EXPECT_FALSE(player.isPlaying());
}

TEST_F(RealDevices, SpeechIsHeardAndCutByTheNextUtterance) {
    SKIP_WITHOUT_SOUND_SERVER();
    SinkCapture capture;
    ASSERT_TRUE(capture.start());
    SpeechSynth synth;
    QList<bool> flags;
    QObject::connect(&synth, &SpeechSynth::isSpeakingChanged, [&] { flags.append(synth.isSpeaking()); });

    synth.speak("", "fr-FR"); // nothing at all
    spinFor(200);
    EXPECT_TRUE(flags.isEmpty());

    synth.speak("Bonjour, je suis Ombrix. Voici une longue phrase qui devrait durer plusieurs secondes.",
                "fr-FR");
    ASSERT_TRUE(spinUntil([&] { return synth.isSpeaking(); }));
    spinFor(400);
    synth.speak("Il fait beau.", "fr-FR");
    EXPECT_FALSE(synth.isSpeaking()); // cut at once
    ASSERT_TRUE(spinUntil([&] { return synth.isSpeaking(); }));
    ASSERT_TRUE(spinUntil([&] { return !synth.isSpeaking(); }));
    EXPECT_EQ(flags, (QList<bool>{true, false, true, false}));
    EXPECT_TRUE(spinUntil([&] { return loudestRms(capture.captured(), capture.format(), 500) > 0.02; }));
    capture.stop();
}

namespace {

// A sound module whose devices end as Qt Multimedia's do: a sink or a source that
// goes runs the event loop (QAudioSink's and QAudioSource's destructors process
// events), here the deletions due, which is what lets one stream go while another
// is being closed. Every stream it made is counted as it goes.
class EventRunningSoundModule final : public SoundModule {
public:
    int endedDevices = 0;

    bool hasInput() override { return true; }
    std::optional<PcmFormat> inputFormat(std::optional<PcmFormat> wanted) override {
        return wanted.value_or(PcmFormat{16000, 1});
    }
    std::unique_ptr<SoundSource> openInput(PcmFormat) override { return std::make_unique<Source>(*this); }
    std::unique_ptr<SoundSink> openOutput(PcmFormat, qint64) override {
        return std::make_unique<Sink>(*this);
    }

private:
    static void runDeletionsDue() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    class Sink final : public SoundSink {
    public:
        explicit Sink(EventRunningSoundModule& module)
            : module_(module) {}
        ~Sink() override {
            ++module_.endedDevices;
            runDeletionsDue();
        }
        bool start(QIODevice*, QString*) override { return true; }
        void stop() override {}
        bool isActive() const override { return false; }
        std::optional<QString> failure() const override { return std::nullopt; }
        void onStateChanged(std::function<void()>) override {}

    private:
        EventRunningSoundModule& module_;
    };

    class Source final : public SoundSource {
    public:
        explicit Source(EventRunningSoundModule& module)
            : module_(module) {}
        ~Source() override {
            ++module_.endedDevices;
            runDeletionsDue();
        }
        QIODevice* start(qint64, QString*) override {
            device_.open(QIODevice::ReadOnly);
            return &device_;
        }
        void stop() override {}
        void onFailure(std::function<void(const QString&)>) override {}

    private:
        EventRunningSoundModule& module_;
        QBuffer device_;
    };
};

} // namespace

// The program's end closes every stream still open, once, whatever closing one of
// them does: here each device that goes runs the deletions due, as Qt Multimedia's
// do, and the streams a speaker or a recorder let go with deleteLater() (as the
// speech synthesiser does) are deleted in the middle of the walk: the others, and
// the very stream being closed.
TEST(AudioAtQuit, TheEndClosesEachStreamOnceWhateverClosingOneDeletes) {
    EventRunningSoundModule module;
    const std::shared_ptr<AudioDevices> devices = AudioDevices::overModule(module);
    const PcmFormat format{16000, 1};
    std::unique_ptr<AudioOutputStream> kept = devices->openOutput(format);
    ASSERT_TRUE(kept);
    QPointer<AudioOutputStream> letGo[3];
    for (QPointer<AudioOutputStream>& stream : letGo) {
        std::unique_ptr<AudioOutputStream> opened = devices->openOutput(format);
        ASSERT_TRUE(opened && opened->start(std::make_shared<PcmFifo>(1024)));
        opened->stop();
        stream = opened.release();
        stream->deleteLater();
    }
    // A recorder's microphone, let go last.
    std::unique_ptr<AudioInputStream> microphone = devices->openInput(format);
    ASSERT_TRUE(microphone && microphone->start());
    QPointer<AudioInputStream> microphoneLetGo = microphone.release();
    microphoneLetGo->deleteLater();

    // The first device closed deletes every stream let go, the one it belongs to
    // maybe; the rest of the walk must not touch them. Closed: that first stream
    // and the one still owned.
    EXPECT_EQ(AudioDevices::closeAll(), 2);
    for (const QPointer<AudioOutputStream>& stream : letGo)
        EXPECT_TRUE(stream.isNull());
    EXPECT_TRUE(microphoneLetGo.isNull());
    EXPECT_EQ(module.endedDevices, 5) << "every device went once";
    // The stream still owned stays, inert; it goes later without a second end.
    EXPECT_EQ(AudioDevices::closeAll(), 0);
    kept.reset();
    EXPECT_EQ(module.endedDevices, 5);
}

// The program's end while voice work runs on its own threads, in a real process:
// the child drops a recording (its file is removed on the encoding thread), then
// quits while a long reply is being synthesised and spoken (its synthesiser is
// never destroyed, as when the program ends before its screens do). The engine's
// thread must be stopped and waited for before the statics go, and the dropped
// recording removed before the program ends.
constexpr const char* kQuitChild = "OMBRIX_AUDIO_QUIT_CHILD";

TEST(AudioAtQuit, ChildEndsWhileVoiceWorkRuns) {
    if (qEnvironmentVariableIsEmpty(kQuitChild))
        GTEST_SKIP() << "run as a child by AudioAtQuit.VoiceWorkUnderWayDoesNotOutliveTheProgram";
    // Scripted devices: the threads at stake are the program's own, not the sound
    // library's (whose streams left playing at exit are its own affair).
    AudioDevices::setShared(std::make_shared<FakeAudioDevices>());
    QString text;
    for (int i = 0; i < 3000; ++i)
        text += QStringLiteral("Voici la phrase %1, lue pendant que le programme s'arrête. ").arg(i);
    auto* synth = new SpeechSynth;
    synth->speak(text, QStringLiteral("fr-FR"));
    ASSERT_TRUE(spinUntil([&] { return synth->isSpeaking(); }));
    auto recorder = std::make_unique<AudioRecorder>();
    ASSERT_FALSE(recorder->start().isEmpty());
    ASSERT_TRUE(spinUntil([&] { return recorder->recordedSamples() > 0; }));
    recorder.reset();
}

TEST(AudioAtQuit, VoiceWorkUnderWayDoesNotOutliveTheProgram) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        QTemporaryDir runtime;
        QProcessEnvironment environment = childEnvironment();
        environment.insert(kQuitChild, QStringLiteral("1"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        const QString out =
            runPassingChildTest(QStringLiteral("AudioAtQuit.ChildEndsWhileVoiceWorkRuns"), environment);
        EXPECT_FALSE(out.contains(QStringLiteral("destroying locked mutex"))) << out.toStdString();
        EXPECT_FALSE(out.contains(QStringLiteral("work still running at quit"))) << out.toStdString();
        QStringList recordings;
        for (QDirIterator it(runtime.path(), {QStringLiteral("*.m4a")}, QDir::Files,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            recordings << it.next();
        EXPECT_TRUE(recordings.isEmpty()) << recordings.join(' ').toStdString();
    }
}

// The program as shipped (its quit probe) plays a short tone on the private sound
// server and quits right after it, by itself or by SIGTERM, or is sent SIGTERM
// while the tone plays: every time it ends normally with status 0 (the sound
// server's client library is neither torn down with a stream open nor at all).
TEST_F(RealDevices, TheProgramEndsCleanlyRightAfterASound) {
    SKIP_WITHOUT_SOUND_SERVER();
    const int rounds = roundsOr("OMBRIX_SOAK_SOUND_QUITS", 3);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        enum class Quit { ByItselfAfterTheSound, SigtermAfterTheSound, SigtermWhilePlaying };
        const Quit quit = Quit(round % 3);
        QTemporaryDir home;
        QTemporaryDir runtime;
        QProcessEnvironment environment = childEnvironment(home.path(), runtime.path());
        environment.insert("OMBRIX_PROBE_SOUND", "1");
        if (quit == Quit::ByItselfAfterTheSound)
            environment.insert("OMBRIX_PROBE_QUIT_AFTER_MS", "0");
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(OMBRIX_QUIT_PROBE), {});
        const auto stop = qScopeGuard([&] {
            if (probe.state() != QProcess::NotRunning) {
                probe.kill();
                probe.waitForFinished();
            }
        });
        QByteArray said;
        const auto saw = [&](const char* line) {
            said += probe.readAllStandardError();
            return said.contains(line) || said.contains("sound refused");
        };
        const char* cue = quit == Quit::SigtermWhilePlaying ? "probe: sound playing" : "probe: sound played";
        ASSERT_TRUE(spinUntil([&] { return saw(cue) || probe.state() == QProcess::NotRunning; }, 60000))
            << said.toStdString();
        ASSERT_FALSE(said.contains("sound refused")) << said.toStdString();
        if (quit != Quit::ByItselfAfterTheSound)
            probe.terminate();
        ASSERT_TRUE(spinUntil([&] { return probe.state() == QProcess::NotRunning; }, 60000))
            << said.toStdString();
        said += probe.readAllStandardError();
        EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit) << said.toStdString();
        EXPECT_EQ(probe.exitCode(), 0) << said.toStdString();
        EXPECT_FALSE(said.contains("Assertion")) << said.toStdString();
    }
}
