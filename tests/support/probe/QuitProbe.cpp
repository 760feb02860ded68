// The program as shipped (its own main(), linked from the same objects) with one
// addition made before main() runs: at the end of the launch, it asks the session
// to save the tokens of OMBRIX_PROBE_TOKENS (separated by spaces), one after the
// other without waiting, and with OMBRIX_PROBE_QUIT=1 it quits on the next turn of
// the event loop, so that those saves are still queued when the program ends.
// With OMBRIX_PROBE_BUSY_QUIT=<folder>, once "<folder>/quit-now" exists it writes
// "<folder>/busy", keeps its GUI thread busy until "<folder>/release" exists, and
// then quits at once, without a turn of the event loop in between.
//
// With OMBRIX_PROBE_SEARCH=<folder>:<folder>…, it walks those folders for names
// holding "note" (the document search's walk, each folder on its share's lane),
// again and again, and says "probe: search walk running" once the first walk has
// begun. With OMBRIX_PROBE_SOUND=1, it plays a short tone through the program's
// audio player and says "probe: sound playing" once it plays and "probe: sound
// played" once it has ended. OMBRIX_PROBE_QUIT_AFTER_MS=<n> quits n ms after the
// walk has begun (or, with the sound, after it has ended), as "Quitter" would
// without its question.
#include "app/widgets/AppDelegate.h"
#include "content/FileManagerSearch.h"
#include "platform/Tasks.h"
#include "session/AppSession.h"
#include "voice/AudioPlayer.h"

#include <QFile>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <QtEndian>

#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>

namespace {

void say(const char* line) {
    std::fprintf(stderr, "probe: %s\n", line);
    std::fflush(stderr);
}

void quitLater(AppDelegate& delegate) {
    const QString after = qEnvironmentVariable("OMBRIX_PROBE_QUIT_AFTER_MS");
    if (after.isEmpty())
        return;
    QTimer::singleShot(after.toInt(), &delegate, [&delegate] { delegate.quitWithoutAsking(); });
}

QCoro::Task<> walkAgainAndAgain(QList<QUrl> folders, AppDelegate* delegate) {
    bool told = false;
    for (;;) {
        QCoro::Task<SearchOutcome> walk =
            FileManagerSearch::search(QStringList{QStringLiteral("note")}, folders, 1000, 1000000);
        if (!told) {
            told = true;
            say("search walk running");
            quitLater(*delegate);
        }
        const SearchOutcome found = co_await std::move(walk);
        Q_UNUSED(found);
    }
}

// A WAV file of a 660 Hz tone: 16-bit mono at 22.05 kHz.
QByteArray toneWav(int milliseconds) {
    constexpr int kRate = 22050;
    const int frames = kRate * milliseconds / 1000;
    QByteArray pcm(frames * 2, Qt::Uninitialized);
    for (int i = 0; i < frames; ++i)
        qToLittleEndian<qint16>(qint16(12000 * std::sin(2 * M_PI * 660 * i / kRate)), pcm.data() + 2 * i);
    QByteArray wav;
    const auto put32 = [&wav](quint32 value) {
        char bytes[4];
        qToLittleEndian(value, bytes);
        wav.append(bytes, 4);
    };
    const auto put16 = [&wav](quint16 value) {
        char bytes[2];
        qToLittleEndian(value, bytes);
        wav.append(bytes, 2);
    };
    wav.append("RIFF");
    put32(quint32(36 + pcm.size()));
    wav.append("WAVEfmt ");
    put32(16);
    put16(1);
    put16(1);
    put32(kRate);
    put32(kRate * 2);
    put16(2);
    put16(16);
    wav.append("data");
    put32(quint32(pcm.size()));
    wav.append(pcm);
    return wav;
}

QCoro::Task<> playTone(AudioPlayer* player, AppDelegate* delegate) {
    auto played = std::make_shared<bool>(false);
    QObject::connect(player, &AudioPlayer::isPlayingChanged, delegate, [player, delegate, played] {
        if (player->isPlaying()) {
            *played = true;
            return;
        }
        if (!std::exchange(*played, false))
            return;
        say("sound played");
        quitLater(*delegate);
    });
    const bool started = co_await player->play(toneWav(300));
    say(started ? "sound playing" : "sound refused");
}

const bool installed = [] {
    AppDelegate::setLaunchHook([](AppDelegate& delegate) {
        const QStringList tokens =
            qEnvironmentVariable("OMBRIX_PROBE_TOKENS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString& token : tokens)
            detachTask(AppSession::shared().setToken(token));
        if (qEnvironmentVariable("OMBRIX_PROBE_QUIT") == QLatin1String("1"))
            QTimer::singleShot(0, &delegate, [&delegate] { delegate.quitWithoutAsking(); });
        const QString busyQuit = qEnvironmentVariable("OMBRIX_PROBE_BUSY_QUIT");
        if (!busyQuit.isEmpty()) {
            auto* watch = new QTimer(&delegate);
            QObject::connect(watch, &QTimer::timeout, &delegate, [watch, busyQuit, &delegate] {
                if (!QFile::exists(busyQuit + QStringLiteral("/quit-now")))
                    return;
                watch->stop();
                QFile busy(busyQuit + QStringLiteral("/busy"));
                if (busy.open(QIODevice::WriteOnly))
                    busy.close();
                while (!QFile::exists(busyQuit + QStringLiteral("/release")))
                    QThread::msleep(10);
                delegate.quitWithoutAsking();
            });
            watch->start(20);
        }
        const QString search = qEnvironmentVariable("OMBRIX_PROBE_SEARCH");
        if (!search.isEmpty()) {
            QList<QUrl> folders;
            for (const QString& folder : search.split(QLatin1Char(':'), Qt::SkipEmptyParts))
                folders.append(QUrl::fromLocalFile(folder));
            detachTask(walkAgainAndAgain(folders, &delegate));
        }
        if (qEnvironmentVariable("OMBRIX_PROBE_SOUND") == QLatin1String("1")) {
            // Owned by nothing: a speaker still open at the end is the end's to close.
            auto* player = new AudioPlayer;
            detachTask(playTone(player, &delegate));
        }
        std::fprintf(stderr, "probe: %d token saves asked\n", int(tokens.size()));
        std::fflush(stderr);
    });
    return true;
}();
} // namespace
