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
// release (a press whose release never arrived is forgotten at the next Command
// event after 0.6 s). A press that stops being a tap keeps its key in the held set
// until its release, so a chord's release is never mistaken for a new press.
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
};
