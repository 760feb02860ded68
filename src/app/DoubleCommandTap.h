#pragma once

#include <QSet>
#include <QtGlobal>

#include <optional>

// The double-tap rule of the summon key, without any event source: fed with the
// Command key presses and releases (key codes 54 right, 55 left), whether other
// modifiers were held at a press, ordinary key presses, and monotonic times in
// seconds. Two bare taps whose releases are at most 0.35 s apart make one summon.
//
// A bare tap is a press and release of one Command key with no other modifier at
// the press, no ordinary key pressed in between, not ended while the other Command
// key is held, and no more than 0.6 s between the last Command event and the
// release. A press that stops being a tap keeps its key in the held set until its
// release, so a chord's release is never mistaken for a new press.
//
// How a Command event more than 0.6 s after the last one is read depends on the
// source. A source that can miss a release (our own windows only see the keys typed
// into them) forgets the held keys then, so that a lost release cannot block the
// gesture for good. A source that reports every press and release keeps them: the
// long press only stops being a tap. Forgetting a key that is still down would
// make its release read as a press, and the next chords' presses as tap ends (a
// long Control hold, then Control+C and Control+V, would summon).
class DoubleCommandTap {
public:
    static constexpr quint16 kRightCommand = 54;
    static constexpr quint16 kLeftCommand = 55;
    // A key code that is never a Command key, for ordinary keys.
    static constexpr quint16 kOtherKey = 0;
    static constexpr double kDoubleTapThreshold = 0.35;
    static constexpr double kStaleAfter = 0.6;

    static bool isCommandKey(quint16 keyCode) { return (keyCode & 0xFFFE) == 54; }

    // A Command key changed state (press or release, decided by the held set).
    // Returns true when this release completes a double tap.
    bool flagsChanged(quint16 keyCode, bool hasOtherModifiers, double timestamp);
    // An ordinary key went down: the current press can no longer be a bare tap.
    // A pending first tap is kept.
    void keyDown(quint16 keyCode);
    // Forgets everything, the pending first tap included.
    void reset();
    // Whether the source reports every press and release (see above). Default: no.
    void setReleasesReliable(bool reliable) { releasesReliable_ = reliable; }
    bool releasesReliable() const { return releasesReliable_; }

    const QSet<quint16>& commandKeysDown() const { return commandKeysDown_; }
    std::optional<double> lastBareCommandTapAt() const { return lastBareCommandTapAt_; }
    bool currentTapEligible() const { return currentTapEligible_; }

private:
    void cancelCurrentPress();
    void recoverIfStateWentStale(double timestamp);

    QSet<quint16> commandKeysDown_;
    std::optional<quint16> currentTapKeyCode_;
    bool currentTapEligible_ = false;
    std::optional<double> lastBareCommandTapAt_;
    double lastCommandEventTimestamp_ = 0;
    bool releasesReliable_ = false;
};
