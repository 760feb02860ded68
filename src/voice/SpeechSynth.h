#pragma once

#include "voice/AudioDevices.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

// Speaks a text with eSpeak NG (the speech module, loaded on first use; without
// it nothing is spoken) in the best installed voice for a language and
// publishes whether it speaks. Synthesis runs on a worker thread and streams into
// the speaker as it goes; isSpeaking is true exactly while the speaker plays the
// utterance. A new utterance, or stop(), cuts the one in progress at once.
class SpeechSynth : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isSpeaking READ isSpeaking NOTIFY isSpeakingChanged)

public:
    enum class Quality { Default, Enhanced, Premium };
    // One utterance's synthesis (shared with the worker thread).
    struct Job;
    struct Voice {
        QString name;
        QString identifier; // what eSpeak NG loads
        QString language;   // BCP 47 form: "fr-FR"
        Quality quality = Quality::Default;
    };

    explicit SpeechSynth(QObject* parent = nullptr);
    ~SpeechSynth() override;

    bool isSpeaking() const { return isSpeaking_; }
    // Lets a caller that cut the speech show it at once.
    void setIsSpeaking(bool value);

    // Speaks `text` in `language` ("fr-FR"). An empty text does nothing at all; a
    // text of spaces is spoken. Returns at once.
    void speak(const QString& text, const QString& language);
    // Cuts the utterance in progress, if any.
    void stop();

    // The installed voices, in eSpeak NG's order, with their languages in BCP 47
    // form (a voice of the bare language "fr" answers "fr-FR").
    static QList<Voice> installedVoices();
    // The choice among `voices`: those whose language equals `language` exactly;
    // the first premium one, else the first enhanced one, else the first. Nothing
    // when no voice has the language (the synthesiser then looks for one by language).
    static std::optional<Voice> bestVoice(const QList<Voice>& voices, const QString& language);
    // An eSpeak NG language ("fr", "fr-fr", "fr-be") in BCP 47 form ("fr-FR", "fr-BE").
    static QString bcp47Language(const QString& espeakLanguage);

    // Monotonic nanoseconds when the speaker first took samples of the current
    // utterance (0 before); for measurements.
    qint64 firstSampleNs() const;

signals:
    void isSpeakingChanged();

private:
    void onAudioReady(quint64 generation);
    void releaseOutput();

    bool isSpeaking_ = false;
    quint64 generation_ = 0;
    std::shared_ptr<Job> job_;
    std::unique_ptr<AudioOutputStream> output_;
};
