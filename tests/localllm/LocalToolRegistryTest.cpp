// What every local tool shares: the capability rule, the definitions sent to the
// model, the dispatch of a call with its argument text, and the text conventions.
#include "localllm/LocalToolRegistry.h"
#include "localllm/LocalTools.h"

#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

QString call(const QString& name, const QString& arguments) {
    return runTask(LocalToolRegistry::dispatch(name, arguments));
}

} // namespace

TEST(LocalToolRegistry, OnlyQwenFamiliesAreToolCapable) {
    EXPECT_TRUE(LocalToolRegistry::isToolCapable("Qwen/Qwen3-14B-MLX-4bit"));
    EXPECT_TRUE(LocalToolRegistry::isToolCapable("MLX-COMMUNITY/QWEN3-8B"));
    EXPECT_TRUE(LocalToolRegistry::isToolCapable("mlx-community/QwEn2.5-7B-Instruct-4bit"));
    EXPECT_FALSE(LocalToolRegistry::isToolCapable("mlx-community/Qwen2-7B"));
    EXPECT_FALSE(LocalToolRegistry::isToolCapable("mlx-community/Llama-3.2-3B-Instruct-4bit"));
    EXPECT_FALSE(LocalToolRegistry::isToolCapable(""));
}

TEST(LocalToolRegistry, SchemasEqualTheGoldenDefinitions) {
    QFile golden(QStringLiteral(OMBRIX_TEST_DATA_DIR "/localllm/tool-schemas.json"));
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
    const Json expected = Json::parse(golden.readAll().toStdString());
    const Json schemas = LocalToolRegistry::schemas();
    // Same members in the same order, same texts byte for byte.
    EXPECT_EQ(schemas.dump(2), expected.dump(2));
    ASSERT_EQ(schemas.size(), 10u);
    EXPECT_EQ(schemas[0]["function"]["description"].get<std::string>().size(), 711u);
}

TEST(LocalToolRegistry, DispatchTakesOnlyJsonObjectsAsArguments) {
    installMemoryDefaults();
    // Not JSON, a JSON array, a bare number: each runs the tool with no arguments.
    for (const QString& bad : {QStringLiteral("{name: Notes"), QStringLiteral("[\"Notes\"]"),
                               QStringLiteral("42"), QString(), QStringLiteral("null")}) {
        EXPECT_EQ(call("open_app", bad), "Missing app name.") << bad.toStdString();
        EXPECT_EQ(call("run_shortcut", bad), "Missing shortcut name.");
        EXPECT_EQ(call("list_photos_from_date", bad), "Missing year.");
        EXPECT_EQ(
            call("search_local_documents", bad),
            "The Mac bridge has no folders granted yet. Ask the user to add one from the Mac app Settings "
            "\u2192 Bridge.");
    }
    // Values of the wrong JSON type count as absent.
    EXPECT_EQ(call("open_app", R"({"name": 3})"), "Missing app name.");
    EXPECT_EQ(call("list_photos_from_date", R"({"year": "2024"})"), "Missing year.");
    EXPECT_EQ(call("list_photos_from_date", R"({"year": 2024.0})"), "Missing year.");
    EXPECT_EQ(call("list_photos_from_date", R"({"year": 9223372036854775808})"), "Invalid date components.");
}

TEST(LocalToolRegistry, UnknownAndWrongCaseNamesAreAnsweredAsUnknown) {
    EXPECT_EQ(call("Open_App", "{}"), "Unknown tool: Open_App");
    EXPECT_EQ(call("LIST_SHORTCUTS", "{}"), "Unknown tool: LIST_SHORTCUTS");
    EXPECT_EQ(call("delete_everything", "{}"), "Unknown tool: delete_everything");
    EXPECT_EQ(call("", "{}"), "Unknown tool: ");
}

TEST(LocalToolRegistry, SizesAndPhotoLinks) {
    using namespace LocalTools;
    EXPECT_EQ(kilobytes(0), "0.0");
    EXPECT_EQ(kilobytes(2048), "2.0");
    EXPECT_EQ(kilobytes(12800), "12.5");
    EXPECT_EQ(kilobytes(256), "0.3");  // 0.25 KB: halves go away from zero
    EXPECT_EQ(kilobytes(51), "0.0");   // 0.0498 KB
    EXPECT_EQ(kilobytes(52), "0.1");   // 0.0508 KB
    EXPECT_EQ(kilobytes(1075), "1.0"); // 1.0498
    EXPECT_EQ(kilobytes(1587), "1.5"); // 1.5498
    EXPECT_EQ(kilobytes(1588), "1.6"); // 1.5508
    EXPECT_EQ(kilobytes(10 * 1024 * 1024), "10240.0");

    EXPECT_EQ(photoLinkId("3F2504E0-4F89-11D3-9A0C-0305E82C3301"), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
    EXPECT_EQ(photoLinkId("ABC/L0/001"), "ABC%2FL0%2F001");
    EXPECT_EQ(photoLinkId("a b?#[é]:@!$&'()*+,;=~"), "a%20b%3F%23%5B%C3%A9%5D:@!$&'()*+,;=~");
}
