#include "app/DoubleCommandTap.h"

bool DoubleCommandTap::flagsChanged(quint16 keyCode, bool hasOtherModifiers, double timestamp) {
    if (!isCommandKey(keyCode))
        return false;
    recoverIfStateWentStale(timestamp);
    lastCommandEventTimestamp_ = timestamp;

    if (!commandKeysDown_.contains(keyCode)) {
        commandKeysDown_.insert(keyCode);
        if (hasOtherModifiers) {
            cancelCurrentPress();
            return false;
        }
        if (commandKeysDown_.size() == 1) {
            currentTapKeyCode_ = keyCode;
            currentTapEligible_ = true;
        }
        return false;
    }

    const bool matches = currentTapEligible_ && currentTapKeyCode_ == keyCode;
    commandKeysDown_.remove(keyCode);
    if (!commandKeysDown_.isEmpty()) {
        if (currentTapKeyCode_ == keyCode)
            cancelCurrentPress();
        return false;
    }
    bool summon = false;
    if (matches) {
        if (!lastBareCommandTapAt_ || timestamp - *lastBareCommandTapAt_ > kDoubleTapThreshold) {
            lastBareCommandTapAt_ = timestamp;
        } else {
            reset();
            summon = true;
        }
    }
    cancelCurrentPress();
    return summon;
}

void DoubleCommandTap::keyDown(quint16 keyCode) {
    if (!isCommandKey(keyCode))
        cancelCurrentPress();
}

void DoubleCommandTap::reset() {
    commandKeysDown_.clear();
    currentTapKeyCode_.reset();
    currentTapEligible_ = false;
    lastBareCommandTapAt_.reset();
    lastCommandEventTimestamp_ = 0;
}

void DoubleCommandTap::cancelCurrentPress() {
    // The keys stay in the held set: they are still down, and their releases must be
    // taken as releases. Emptying the set here made the release of a Control+key
    // chord count as a new press, so that quick chords in a row (Control+Z three
    // times) were read as two bare taps and summoned.
    currentTapKeyCode_.reset();
    currentTapEligible_ = false;
}

void DoubleCommandTap::recoverIfStateWentStale(double timestamp) {
    if (commandKeysDown_.isEmpty() || lastCommandEventTimestamp_ <= 0 ||
        timestamp - lastCommandEventTimestamp_ <= kStaleAfter)
        return;
    // The press is too long for a tap either way.
    cancelCurrentPress();
    // A release may have been missed (it went to another program while we only saw
    // our own windows, or the source was replaced): forget the held keys. A source
    // that reports every release would be misread by that, so its keys stay held.
    if (!releasesReliable_)
        commandKeysDown_.clear();
}
