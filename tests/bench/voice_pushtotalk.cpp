// Push-to-talk costs: AAC encoding per second of audio (48 kHz stereo microphone
// PCM resampled to 44.1 kHz mono), and the time from the voice query's answer to
// the first sample taken by the speaker, for speech (eSpeak NG, streamed) and for
// the backend's audio (a 3 s WAV and a 3 s AAC in base64, decoded on the thread
// pool). The latencies need the private sound server:
//
//   bash scripts/with-sound.sh build/tests/bench_voice_pushtotalk [runs]
#include "platform/Resources.h"
#include "support/SoundFixtures.h"
#include "support/TestSupport.h"
#include "voice/AudioCodec.h"
#include "voice/AudioPlayer.h"
#include "voice/SpeechSynth.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double encodeMsPerSecond(int seconds) {
    const PcmFormat input{48000, 2};
    const QByteArray pcm = sinePcm(input, 440, 0.5, seconds * 1000);
    QTemporaryDir dir;
    AacFileWriter writer;
    QElapsedTimer t;
    t.start();
    writer.open(dir.filePath("b.m4a"), input);
    const qsizetype chunk = input.bytesForMs(40);
    for (qsizetype at = 0; at < pcm.size(); at += chunk)
        writer.write(pcm.mid(at, chunk));
    writer.finish();
    return static_cast<double>(t.nsecsElapsed()) / 1e6 / seconds;
}

QByteArray aacBytes(int ms) {
    QTemporaryDir dir;
    AacFileWriter writer;
    const PcmFormat f{44100, 1};
    writer.open(dir.filePath("a.m4a"), f);
    writer.write(sinePcm(f, 440, 0.5, ms));
    writer.finish();
    QFile file(dir.filePath("a.m4a"));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initOmbrixResources();
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;

    std::vector<double> encode;
    for (int i = 0; i < 5; ++i)
        encode.push_back(encodeMsPerSecond(20));
    std::printf(
        "AAC encoding, 48 kHz stereo -> 44.1 kHz mono: %.2f ms per second of audio (median of 5 x 20 s)\n",
        median(encode));

    if (!soundServerAvailable()) {
        std::printf("no sound server: run under scripts/with-sound.sh for the latencies\n");
        return 0;
    }
    const QString sentence = QStringLiteral("Il est midi et le soleil brille sur Paris.");
    std::vector<double> speech;
    {
        SpeechSynth synth;
        for (int i = 0; i < runs + 1; ++i) {
            const qint64 t0 = steadyNowNs();
            synth.speak(sentence, "fr-FR");
            spinUntil([&] { return synth.firstSampleNs() > 0; });
            if (i > 0) // the first run loads the voice
                speech.push_back(static_cast<double>(synth.firstSampleNs() - t0) / 1e6);
            spinFor(150);
            synth.stop();
        }
    }
    const PcmFormat wavFormat{24000, 1};
    const QString wav =
        QString::fromLatin1(wavFile(wavFormat, sinePcm(wavFormat, 440, 0.5, 3000)).toBase64());
    const QString aac = QString::fromLatin1(aacBytes(3000).toBase64());
    std::vector<double> wavLatency, aacLatency;
    {
        AudioPlayer player;
        for (int i = 0; i < runs; ++i) {
            for (auto [text, out] : {std::pair{&wav, &wavLatency}, std::pair{&aac, &aacLatency}}) {
                const qint64 t0 = steadyNowNs();
                const std::optional<QByteArray> bytes = AudioPlayer::strictBase64(*text);
                const bool started = runTask(player.play(*bytes));
                spinUntil([&] { return player.firstSampleNs() > 0; });
                if (started)
                    out->push_back(static_cast<double>(player.firstSampleNs() - t0) / 1e6);
                spinFor(100);
                player.stop();
            }
        }
    }
    std::printf("answer to first sample at the speaker, median of %d runs:\n", runs);
    std::printf("  speech (%lld characters): %.1f ms\n", static_cast<long long>(sentence.size()),
                median(speech));
    std::printf("  backend audio, 3 s WAV 24 kHz (%lld base64 characters): %.1f ms\n",
                static_cast<long long>(wav.size()), median(wavLatency));
    std::printf("  backend audio, 3 s AAC in MPEG-4 (%lld base64 characters): %.1f ms\n",
                static_cast<long long>(aac.size()), median(aacLatency));
    return 0;
}
