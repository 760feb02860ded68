#include "app/DoubleCommandTap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr quint16 L = DoubleCommandTap::kLeftCommand;
constexpr quint16 R = DoubleCommandTap::kRightCommand;

// One event: a Command key change (key, other modifiers held, time) or, with key 0,
// an ordinary key press.
struct Ev {
    quint16 key;
    double t;
    bool other = false;
};
Ev key() {
    return {0, 0};
}

struct Case {
    std::string name;
    std::vector<Ev> events;
    std::vector<int> summonsAt; // indexes of the events that summon
    bool releasesReliable = false;
};

} // namespace

TEST(DoubleCommandTap, TimingRules) {
    const std::vector<Case> cases = {
        {"two taps released 0.30 s apart", {{L, 0}, {L, 0.1}, {L, 0.3}, {L, 0.4}}, {3}},
        {"released 0.40 s apart: the second starts a new pair",
         {{L, 0}, {L, 0.1}, {L, 0.4}, {L, 0.5}, {L, 0.6}, {L, 0.7}},
         {5}},
        {"left then right", {{L, 0}, {L, 0.1}, {R, 0.2}, {R, 0.3}}, {3}},
        {"other modifier at the first press", {{L, 0, true}, {L, 0.1}, {L, 0.2}, {L, 0.3}}, {}},
        {"other modifier at the second press", {{L, 0}, {L, 0.1}, {L, 0.2, true}, {L, 0.3}}, {}},
        {"ordinary key between two bare taps keeps the first",
         {{L, 0}, {L, 0.1}, key(), {L, 0.2}, {L, 0.3}},
         {4}},
        {"Control+C twice is no tap", {{L, 0}, key(), {L, 0.1}, {L, 0.2}, key(), {L, 0.3}}, {}},
        // The chord's release is a release: repeated chords never pair up.
        {"Control+Z three times in a row",
         {{L, 0}, key(), {L, 0.15}, {L, 0.3}, key(), {L, 0.45}, {L, 0.6}, key(), {L, 0.75}},
         {}},
        {"a chord, then a quick double tap",
         {{L, 0}, key(), {L, 0.1}, {L, 0.2}, {L, 0.3}, {L, 0.4}, {L, 0.5}},
         {6}},
        {"press then release after 0.7 s: stale, taken as a new press",
         {{L, 0}, {L, 0.7}, {L, 0.8}, {L, 0.9}, {L, 1.0}},
         {4}},
        // A source that sees every release keeps a long-held key: the hold is no tap,
        // and its release stays a release.
        {"reliable source: press then release after 0.7 s",
         {{L, 0}, {L, 0.7}, {L, 0.8}, {L, 0.9}, {L, 1.0}},
         {},
         true},
        {"reliable source: hold 1 s, then Control+C and Control+V 0.3 s later",
         {{L, 0}, {L, 1.0}, {L, 1.2}, key(), {L, 1.3}, {L, 1.5}, key(), {L, 1.6}},
         {},
         true},
        {"reliable source: a double tap after the long hold",
         {{L, 0}, {L, 1.0}, {L, 1.2}, {L, 1.3}, {L, 1.4}, {L, 1.5}},
         {5},
         true},
        {"first tap kept across a long pause is not paired after 0.35 s",
         {{L, 0}, {L, 0.1}, key(), {L, 1.0}, {L, 1.1}},
         {}},
        {"third quick tap starts a new pair",
         {{L, 0}, {L, 0.05}, {L, 0.1}, {L, 0.15}, {L, 0.2}, {L, 0.25}, {L, 0.3}, {L, 0.35}},
         {3, 7}},
        {"second Control held across the release of the first",
         {{L, 0}, {R, 0.05}, {L, 0.1}, {R, 0.15}, {L, 0.2}, {L, 0.25}},
         {}},
        {"second Control tapped while the first is held",
         {{L, 0}, {R, 0.05}, {R, 0.1}, {L, 0.15}, {L, 0.2}, {L, 0.25}},
         {5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DoubleCommandTap tap;
        tap.setReleasesReliable(c.releasesReliable);
        std::vector<int> summons;
        for (int i = 0; i < int(c.events.size()); ++i) {
            const Ev& e = c.events[i];
            if (e.key == 0)
                tap.keyDown(DoubleCommandTap::kOtherKey);
            else if (tap.flagsChanged(e.key, e.other, 10.0 + e.t)) // the clock is far from 0
                summons.push_back(i);
        }
        EXPECT_EQ(summons, c.summonsAt);
    }
}

TEST(DoubleCommandTap, OtherKeysAndResets) {
    DoubleCommandTap tap;
    EXPECT_FALSE(tap.flagsChanged(37, false, 0.0)); // not a Command key: ignored
    EXPECT_TRUE(tap.commandKeysDown().isEmpty());
    tap.flagsChanged(L, false, 0.0);
    tap.flagsChanged(L, false, 0.1);
    ASSERT_TRUE(tap.lastBareCommandTapAt().has_value());
    tap.reset();
    EXPECT_FALSE(tap.lastBareCommandTapAt().has_value());
    EXPECT_FALSE(tap.flagsChanged(L, false, 0.2));
    EXPECT_FALSE(tap.flagsChanged(L, false, 0.3)); // first of a new pair after the reset
}
