#pragma once

#include <QFont>
#include <QString>
#include <QVariantAnimation>
#include <QWidget>

// The round orb of the voice screens, painted: a glow (a radial gradient of the
// accent colour), a ring, a disc with the state's symbol. The glow either follows
// a level (scale 1 + 0.25 × level) or breathes between two scales; the symbol
// pulses while the orb is active. A click emits tapped().
class VoiceOrb : public QWidget {
    Q_OBJECT
public:
    struct Look {
        QString symbol = QStringLiteral("mic.fill");
        double glowOpacity = 0.35; // of the gradient's inner colour
        bool followLevel = false;  // scale by the level instead of breathing
        float level = 0;
        double breatheLow = 0.95;
        double breatheHigh = 1.05;
        int breatheMs = 2200; // one way
        bool symbolEffect = false;
        bool showRing = true;
        double opacity = 1.0;
    };

    static constexpr int kSide = 220;

    explicit VoiceOrb(QWidget* parent = nullptr);

    void setLook(const Look& look);
    const Look& look() const { return look_; }
    // The glow's current scale (for tests).
    double glowScale() const;

signals:
    void tapped();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // The animations run only while the orb is on screen.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    Look look_;
    QVariantAnimation breathe_;
    QVariantAnimation effect_;
};

class QLabel;
class QVBoxLayout;

// The font of the voice screens' texts, sized in pixels.
QFont voiceFont(QFont font, int pixels, QFont::Weight weight);

// The top of a voice screen, added to its layout: a flexible space, the orb, and
// under it the state's two centred labels (the main one and a quieter one).
struct VoiceScreenTop {
    VoiceOrb* orb = nullptr;
    QLabel* primary = nullptr;
    QLabel* secondary = nullptr;
};
VoiceScreenTop addVoiceScreenTop(QWidget* screen, QVBoxLayout* layout);
