#include "platform/Json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

namespace {
QByteArray nested(int depth, const QByteArray& open = "[", const QByteArray& close = "]") {
    return open.repeated(depth) + close.repeated(depth);
}

// An object of n distinct keys.
QByteArray manyKeys(int n) {
    QByteArray text = "{";
    for (int i = 0; i < n; ++i)
        text += (i ? ",\"k" : "\"k") + QByteArray::number(i) + "\":" + QByteArray::number(i);
    return text + "}";
}
double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}
// The least processor time, in ms, each of two parses of `text` takes on this
// thread, measured in turns so that both meet the same moments of the machine.
struct ParseTimes {
    double ours = 1e300;
    double reference = 1e300;
};
ParseTimes bestParseTimes(const QByteArray& text) {
    ParseTimes best;
    for (int run = 0; run < 5; ++run) {
        // The thread's own processor time: time the machine gives other work does not count.
        double start = threadCpuMs();
        const nlohmann::json reference = nlohmann::json::parse(text.begin(), text.end());
        best.reference = std::min(best.reference, threadCpuMs() - start);
        start = threadCpuMs();
        const Json value = json::parse(text);
        best.ours = std::min(best.ours, threadCpuMs() - start);
        EXPECT_EQ(value.size(), reference.size());
    }
    return best;
}
} // namespace

TEST(JsonParse, NestingIsBoundedWhileReading) {
    using Kind = JsonDecodingError::Kind;
    struct Case {
        QByteArray text;
        std::optional<Kind> failure;
    };
    const QByteArray objects =
        QByteArray("{\"a\":").repeated(json::maxDepth) + "1" + QByteArray("}").repeated(json::maxDepth);
    const Case cases[] = {
        {nested(json::maxDepth), std::nullopt},
        {objects, std::nullopt},
        {nested(json::maxDepth + 1), Kind::TooDeep},
        {"{\"a\":" + nested(json::maxDepth) + "}", Kind::TooDeep},
        // The bomb that used to overflow the stack when the value was copied: 24 KB
        // of nested arrays, then one more member.
        {"{\"x\":" + nested(12'000) + ",\"y\":1}", Kind::TooDeep},
        {QByteArray("[").repeated(200'000), Kind::TooDeep},
        // The number of values is bounded too (memory): the array and its elements
        // make maxValues, one more is refused (how members and empty objects count:
        // NumberOfValuesIsBoundedWhileReading).
        {"[" + QByteArray("0,").repeated(json::maxValues - 2) + "0]", std::nullopt},
        {"[" + QByteArray("0,").repeated(json::maxValues - 1) + "0]", Kind::TooLarge},
        {"[1,2", Kind::Malformed},
        {"{\"a\":1}x", Kind::Malformed},
        {"", Kind::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.left(40).toStdString());
        // The texts of many values are read once (tryParse() is parse() that
        // answers nothing on failure, checked on the small ones).
        const bool small = c.text.size() < 100'000;
        if (!c.failure) {
            const Json value = json::parse(c.text);
            if (!small)
                continue;
            const Json copy = value; // copying recurses once per level
            EXPECT_EQ(copy, value);
            EXPECT_TRUE(json::tryParse(c.text).has_value());
            continue;
        }
        try {
            json::parse(c.text);
            ADD_FAILURE() << "parsed";
        } catch (const JsonDecodingError& error) {
            EXPECT_EQ(error.kind(), *c.failure);
        }
        if (small) {
            EXPECT_FALSE(json::tryParse(c.text).has_value());
        }
    }
}

// Every value counts against the budget, scalars, members' values, arrays and
// objects, empty ones too (the dearest: an empty object in an object costs the
// tree some 90 bytes whatever the few bytes of its text), and a text is refused at
// the first value past it. Shown with a budget of 12 (parse() has maxValues).
TEST(JsonParse, NumberOfValuesIsBoundedWhileReading) {
    constexpr std::size_t kBudget = 12;
    struct Case {
        QByteArray text;
        bool fits;
    } cases[] = {
        {"[" + QByteArray("0,").repeated(kBudget - 2) + "0]", true},
        {"[" + QByteArray("0,").repeated(kBudget - 1) + "0]", false},
        // The two objects and their members' values.
        {"{\"a\":{" + QByteArray("\"\":1,").repeated(kBudget - 3) + "\"\":1}}", true},
        {"{\"a\":{" + QByteArray("\"\":1,").repeated(kBudget - 2) + "\"\":1}}", false},
        {"[" + QByteArray("{},").repeated(kBudget - 2) + "{}]", true},
        {"[" + QByteArray("{},").repeated(kBudget - 1) + "{}]", false},
        {QByteArray("[").repeated(kBudget) + QByteArray("]").repeated(kBudget), true},
        {QByteArray("[").repeated(kBudget + 1) + QByteArray("]").repeated(kBudget + 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        try {
            json::parseWithBudget(c.text, kBudget);
            EXPECT_TRUE(c.fits);
        } catch (const JsonDecodingError& error) {
            EXPECT_FALSE(c.fits);
            EXPECT_EQ(error.kind(), JsonDecodingError::Kind::TooLarge);
        }
    }
}

TEST(JsonParse, KeepsOrderAndTakesTheLastOfRepeatedKeys) {
    const Json value = json::parse(R"({"b":1,"a":[true,null,"é"],"c":{"z":1,"y":2},"b":3,"a":0})");
    EXPECT_EQ(json::dump(value), R"({"b":3,"a":0,"c":{"z":1,"y":2}})");
    // Many members with repeats scattered among them.
    QByteArray text = "{";
    for (int i = 0; i < 100; ++i)
        text += (i ? ",\"k" : "\"k") + QByteArray::number(i % 30) + "\":" + QByteArray::number(i);
    const Json many = json::parse(text + "}");
    ASSERT_EQ(many.size(), 30u);
    EXPECT_EQ(many.begin().key(), "k0");
    EXPECT_EQ(many.at("k0"), 90);
    EXPECT_EQ(many.at("k29"), 89);
    EXPECT_EQ(json::dump(json::parse("[]")), "[]");
    EXPECT_EQ(json::dump(json::parse("{}")), "{}");
}

TEST(JsonParse, ManyKeysCostWhatAParseIntoASortedMapCosts) {
    // Against the same text parsed into nlohmann's own sorted map (n log n, a node
    // per member): at most about twice as long, where inserting through a search of
    // the members (quadratic) takes some hundred times as long with 32,000 keys.
    // Both build as much in memory and are timed in turns, so a loaded machine,
    // whose caches and memory serve the larger working sets worst, slows both alike.
    const QByteArray text = manyKeys(32'000);
    bestParseTimes(manyKeys(1'000)); // warm-up
    const ParseTimes times = bestParseTimes(text);
    EXPECT_LT(times.ours, 10 * std::max(times.reference, 0.01))
        << "ours " << times.ours << " ms, sorted map " << times.reference << " ms";
    EXPECT_EQ(json::parse(text).size(), 32'000u);
}

TEST(JsonParse, WholeNumbersDecodeAsIntegersInAnyNotation) {
    struct Case {
        const char* text;
        std::optional<qint64> value; // nothing: a type mismatch
    };
    const Case cases[] = {
        {"5", 5},
        {"5.0", 5},
        {"2.023e3", 2023},
        {"-7E0", -7},
        {"0.0", 0},
        {"-9223372036854775808.0", INT64_MIN},
        {"9223372036854775807", INT64_MAX},
        {"8000.5", std::nullopt},
        {"1e-3", std::nullopt},
        {"9.3e18", std::nullopt},
        {"1e300", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"\"5\"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Json object = json::parse(QByteArray("{\"n\":") + c.text + "}");
        if (c.value) {
            EXPECT_EQ(json::requireInt(object, "n"), *c.value);
            EXPECT_EQ(json::optionalInt(object, "n"), c.value);
        } else {
            EXPECT_THROW(json::requireInt(object, "n"), JsonDecodingError);
        }
    }
}
