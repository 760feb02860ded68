#include "wire/BridgeTask.h"
#include "wire/BridgeResults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {
BridgeTask decode(const char* text) {
    return BridgeTask::fromJsonBytes(QByteArray(text));
}

// True when the text fails to decode with a JsonDecodingError.
bool rejects(const char* text) {
    try {
        decode(text);
    } catch (const JsonDecodingError&) {
        return true;
    }
    return false;
}

std::string dumped(const Json& value) {
    return value.dump();
}
} // namespace

TEST(BridgeTaskKind, WireStringsMatchExactly) {
    const QStringList expected{"search",        "read",           "list_folders",  "list_dir",
                               "photos_recent", "photos_by_date", "app_open",      "shortcut_run",
                               "shortcut_list", "ocr_image",      "open_document", "thumbnail",
                               "llm_infer"};
    ASSERT_EQ(allBridgeTaskKinds().size(), 13);
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const BridgeTaskKind kind = allBridgeTaskKinds().at(i);
        EXPECT_EQ(wireName(kind), expected.at(i));
        EXPECT_EQ(bridgeTaskKindFromWire(expected.at(i)), kind);
    }
    for (const char* wrong : {"Search", "SEARCH", "search ", " search", "listFolders", "list-dir", ""})
        EXPECT_FALSE(bridgeTaskKindFromWire(QString::fromUtf8(wrong))) << wrong;
}

TEST(BridgeTask, EveryKindDecodesItsArgumentsUnchanged) {
    BridgeTask t = decode(R"({"id":"t1","kind":"search","args":{"query":"facture",)"
                          R"("folder_hints":["Docs","Perso"],"limit":250,"extra":true},"more":1})");
    EXPECT_EQ(t.id, "t1");
    EXPECT_EQ(t.kind, BridgeTaskKind::Search);
    EXPECT_EQ(std::get<BridgeTask::SearchArgs>(t.args),
              (BridgeTask::SearchArgs{"facture", QStringList{"Docs", "Perso"}, 250}));

    t = decode(R"({"id":"","kind":"search","args":{"query":""}})");
    EXPECT_EQ(t.id, "");
    EXPECT_EQ(std::get<BridgeTask::SearchArgs>(t.args),
              (BridgeTask::SearchArgs{"", std::nullopt, std::nullopt}));

    t = decode(R"({"id":"r","kind":"read","args":{"document_id":"D","max_chars":null}})");
    EXPECT_EQ(std::get<BridgeTask::ReadArgs>(t.args), (BridgeTask::ReadArgs{"D", std::nullopt}));
    t = decode(R"({"id":"r","kind":"read","args":{"document_id":"D","max_chars":-3}})");
    EXPECT_EQ(std::get<BridgeTask::ReadArgs>(t.args).maxChars, -3);

    t = decode(R"({"id":"l","kind":"list_dir","args":{"folder_id":"F","sub_path":"a/b"}})");
    EXPECT_EQ(std::get<BridgeTask::ListDirArgs>(t.args), (BridgeTask::ListDirArgs{"F", QString("a/b")}));

    t = decode(R"({"id":"p","kind":"photos_by_date","args":{"year":2023}})");
    EXPECT_EQ(std::get<BridgeTask::PhotosByDateArgs>(t.args),
              (BridgeTask::PhotosByDateArgs{2023, std::nullopt, std::nullopt}));
    t = decode(R"({"id":"p","kind":"photos_by_date","args":{"year":2023,"month":13,"limit":4}})");
    EXPECT_EQ(std::get<BridgeTask::PhotosByDateArgs>(t.args), (BridgeTask::PhotosByDateArgs{2023, 13, 4}));

    t = decode(R"({"id":"a","kind":"app_open","args":{"name":"Calculatrice"}})");
    EXPECT_EQ(std::get<BridgeTask::AppOpenArgs>(t.args).name, "Calculatrice");
    t = decode(R"({"id":"s","kind":"shortcut_run","args":{"name":"Minuteur","input":"5 min"}})");
    EXPECT_EQ(std::get<BridgeTask::ShortcutRunArgs>(t.args),
              (BridgeTask::ShortcutRunArgs{"Minuteur", QString("5 min")}));
    t = decode(R"({"id":"o","kind":"ocr_image","args":{"document_id":"X"}})");
    EXPECT_EQ(std::get<BridgeTask::OcrImageArgs>(t.args).documentId, "X");
    t = decode(R"({"id":"o","kind":"open_document","args":{"document_id":"Y"}})");
    EXPECT_EQ(std::get<BridgeTask::OpenDocumentArgs>(t.args).documentId, "Y");
    t = decode(R"({"id":"o","kind":"thumbnail","args":{"document_id":"Z","max_edge":4096}})");
    EXPECT_EQ(std::get<BridgeTask::ThumbnailArgs>(t.args), (BridgeTask::ThumbnailArgs{"Z", 4096}));
    t = decode(R"({"id":"i","kind":"llm_infer","args":{"openai_body_json":"{\"model\":\"m\"}"}})");
    EXPECT_EQ(std::get<BridgeTask::LLMInferArgs>(t.args).openaiBodyJson, R"({"model":"m"})");

    // The variant always agrees with the kind.
    for (const char* text :
         {R"({"id":"x","kind":"list_folders"})", R"({"id":"x","kind":"shortcut_list","args":7})",
          R"({"id":"x","kind":"photos_recent"})", R"({"id":"x","kind":"search","args":{"query":"q"}})"}) {
        const BridgeTask task = decode(text);
        EXPECT_EQ(task.args.index(), static_cast<size_t>(task.kind)) << text;
    }
}

TEST(BridgeTask, ArgumentlessKindsNeverLookAtArgs) {
    for (const char* args :
         {"", R"(,"args":null)", R"(,"args":"x")", R"(,"args":[1])", R"(,"args":{"a":1})"}) {
        const std::string list = std::string(R"({"id":"1","kind":"list_folders")") + args + "}";
        EXPECT_EQ(decode(list.c_str()).kind, BridgeTaskKind::ListFolders) << args;
        const std::string shortcuts = std::string(R"({"id":"1","kind":"shortcut_list")") + args + "}";
        EXPECT_EQ(decode(shortcuts.c_str()).kind, BridgeTaskKind::ShortcutList) << args;
    }
}

TEST(BridgeTask, PhotosRecentArgsAreOptional) {
    for (const char* text :
         {R"({"id":"1","kind":"photos_recent"})", R"({"id":"1","kind":"photos_recent","args":null})",
          R"({"id":"1","kind":"photos_recent","args":{}})"})
        EXPECT_EQ(std::get<BridgeTask::PhotosRecentArgs>(decode(text).args).limit, std::nullopt) << text;
    EXPECT_EQ(std::get<BridgeTask::PhotosRecentArgs>(
                  decode(R"({"id":"1","kind":"photos_recent","args":{"limit":5}})").args)
                  .limit,
              5);
    EXPECT_TRUE(rejects(R"({"id":"1","kind":"photos_recent","args":{"limit":"5"}})"));
    EXPECT_TRUE(rejects(R"({"id":"1","kind":"photos_recent","args":"limit"})"));
    EXPECT_TRUE(rejects(R"({"id":"1","kind":"photos_recent","args":5})"));
}

TEST(BridgeTask, StrictDecodingRejectsWhatIsWrong) {
    const char* rejected[] = {
        // the envelope
        "",
        "not json",
        "[]",
        "null",
        R"("task")",
        R"({"kind":"list_folders"})",
        R"({"id":null,"kind":"list_folders"})",
        R"({"id":12,"kind":"list_folders"})",
        R"({"id":"1"})",
        R"({"id":"1","kind":null})",
        R"({"id":"1","kind":3})",
        R"({"id":"1","kind":"LIST_FOLDERS"})",
        R"({"id":"1","kind":"list_folders "})",
        R"({"id":"1","kind":"unknown"})",
        // "args" of kinds that need it
        R"({"id":"1","kind":"search"})",
        R"({"id":"1","kind":"search","args":null})",
        R"({"id":"1","kind":"search","args":{}})",
        R"({"id":"1","kind":"search","args":"q"})",
        R"({"id":"1","kind":"search","args":{"query":null}})",
        R"({"id":"1","kind":"search","args":{"query":5}})",
        R"({"id":"1","kind":"search","args":{"query":"q","folder_hints":"Docs"}})",
        R"({"id":"1","kind":"search","args":{"query":"q","folder_hints":["a",2]}})",
        R"({"id":"1","kind":"search","args":{"query":"q","folder_hints":["a",null]}})",
        R"({"id":"1","kind":"search","args":{"query":"q","limit":"10"}})",
        R"({"id":"1","kind":"search","args":{"query":"q","limit":10.5}})",
        R"({"id":"1","kind":"search","args":{"query":"q","limit":true}})",
        R"({"id":"1","kind":"search","args":{"query":"q","limit":1e400}})",
        R"({"id":"1","kind":"search","args":{"query":"q","limit":18446744073709551615}})",
        R"({"id":"1","kind":"read","args":{"document_id":"d","max_chars":8000.5}})",
        R"({"id":"1","kind":"read","args":{"max_chars":10}})",
        R"({"id":"1","kind":"list_dir","args":{"sub_path":"a"}})",
        R"({"id":"1","kind":"list_dir","args":{"folder_id":"f","sub_path":1}})",
        R"({"id":"1","kind":"photos_by_date","args":{}})",
        R"({"id":"1","kind":"photos_by_date","args":{"year":"2023"}})",
        R"({"id":"1","kind":"photos_by_date","args":{"year":2023,"month":1.5}})",
        R"({"id":"1","kind":"app_open","args":{}})",
        R"({"id":"1","kind":"shortcut_run","args":{"input":"x"}})",
        R"({"id":"1","kind":"shortcut_run","args":{"name":"n","input":false}})",
        R"({"id":"1","kind":"ocr_image","args":{"document_id":7}})",
        R"({"id":"1","kind":"open_document"})",
        R"({"id":"1","kind":"thumbnail","args":{"document_id":"d","max_edge":"512"}})",
        R"({"id":"1","kind":"llm_infer","args":{"openai_body_json":{"model":"m"}}})",
        R"({"id":"1","kind":"llm_infer","args":{}})",
    };
    for (const char* text : rejected)
        EXPECT_TRUE(rejects(text)) << text;
    // A whole number is an integer however it is written; only a true fraction is
    // refused (a task that does not decode makes the bridge back off).
    EXPECT_FALSE(rejects(R"({"id":"1","kind":"thumbnail","args":{"document_id":"d","max_edge":512.0}})"));
    const BridgeTask task = BridgeTask::fromJsonBytes(
        R"({"id":"1","kind":"photos_by_date","args":{"year":2.023e3,"month":5.0,"limit":1E1}})");
    const auto& byDate = std::get<BridgeTask::PhotosByDateArgs>(task.args);
    EXPECT_EQ(byDate.year, 2023);
    EXPECT_EQ(byDate.month, 5);
    EXPECT_EQ(byDate.limit, 10);
}

TEST(BridgeResults, OptionalMembersAreLeftOutAndOrderIsKept) {
    BridgeSearchResult search;
    EXPECT_EQ(dumped(search.toJson()), R"({"items":[]})");
    search.items.append({"id1", "a.pdf", "application/pdf", 5'000'000'000LL, std::nullopt, "Docs", false});
    search.items.append({"id2", "b", "text/plain", 0, QString("2024-05-01T08:30:00Z"), "", true});
    EXPECT_EQ(
        dumped(search.toJson()),
        R"({"items":[{"id":"id1","name":"a.pdf","mime":"application/pdf","size":5000000000,"parent":"Docs",)"
        R"("is_remote":false},{"id":"id2","name":"b","mime":"text/plain","size":0,)"
        R"("modified_at":"2024-05-01T08:30:00Z","parent":"","is_remote":true}]})");

    EXPECT_EQ(dumped(BridgeReadResult{"é\"x", true, 12}.toJson()),
              "{\"content\":\"é\\\"x\",\"truncated\":true,\"bytes_read\":12}");
    EXPECT_EQ(dumped(BridgeListFoldersResult{{{"F", "Docs", "~/Docs", false}}, {}}.toJson()),
              R"({"folders":[{"id":"F","name":"Docs","path_display":"~/Docs","is_remote":false}]})");
    // The folders that did not answer, after what the others gave.
    EXPECT_EQ(dumped(BridgeListFoldersResult{{}, {{"G", "Serveur"}}}.toJson()),
              R"({"folders":[],"not_answering":[{"id":"G","name":"Serveur"}]})");
    search.not_answering.append(BridgeSilentFolder{"G", "Serveur"});
    EXPECT_TRUE(dumped(search.toJson()).ends_with(R"(}],"not_answering":[{"id":"G","name":"Serveur"}]})"));
    BridgeListDirResult dir;
    dir.items.append({"I", "n", "directory", "inode/directory", 0, std::nullopt, "a/n"});
    dir.folder_id = "F";
    dir.sub_path = "a";
    EXPECT_EQ(dumped(dir.toJson()),
              R"({"items":[{"id":"I","name":"n","type":"directory","mime":"inode/directory",)"
              R"("size":0,"sub_path":"a/n"}],"folder_id":"F","sub_path":"a"})");
    BridgePhotosResult photos;
    photos.items.append({"P1", "IMG.jpg", std::nullopt, "image/jpeg", std::nullopt});
    photos.items.append({"P2", "b.heic", QString("2023-01-02T03:04:05Z"), "image/heic",
                         BridgePhotosResult::Item::Location{48.8566, -2.5}});
    EXPECT_EQ(
        dumped(photos.toJson()),
        R"({"items":[{"id":"P1","name":"IMG.jpg","mime":"image/jpeg"},{"id":"P2","name":"b.heic",)"
        R"("taken_at":"2023-01-02T03:04:05Z","mime":"image/heic","location":{"lat":48.8566,"lng":-2.5}}]})");
    EXPECT_EQ(dumped(BridgeOkResult{true, std::nullopt}.toJson()), R"({"ok":true})");
    EXPECT_EQ(dumped(BridgeOkResult{false, QString("introuvable")}.toJson()),
              R"({"ok":false,"error":"introuvable"})");
    EXPECT_EQ(dumped(BridgeShortcutListResult{}.toJson()), R"({"shortcuts":[]})");
    EXPECT_EQ(dumped(BridgeShortcutListResult{{"A", "B"}}.toJson()), R"({"shortcuts":["A","B"]})");
    EXPECT_EQ(dumped(BridgeShortcutRunResult{}.toJson()), "{}");
    EXPECT_EQ(dumped(BridgeShortcutRunResult{QString("")}.toJson()), R"({"output":""})");
    EXPECT_EQ(dumped(BridgeOcrResult{"t", {"fra", "eng"}, 3}.toJson()),
              R"({"text":"t","languages":["fra","eng"],"bytes_processed":3})");
    EXPECT_EQ(dumped(BridgeThumbnailResult{"", "image/png", 0, 0}.toJson()),
              R"({"data_base64":"","mime":"image/png","width":0,"height":0})");
    EXPECT_EQ(dumped(BridgeLLMInferResult{"{}", "m", 120}.toJson()),
              R"({"response_json":"{}","model_used":"m","latency_ms":120})");
}

TEST(BridgeResults, UpdateBodiesAreCompactWithEscapedSlashes) {
    EXPECT_EQ(BridgeErrorBody{"Document hors des dossiers partagés."}.encode(),
              QByteArray(R"({"status":"error","error_message":"Document hors des dossiers partagés."})"));
    EXPECT_EQ(BridgeStreamBody{"a/b\n\"c\"\x01"}.encode(),
              QByteArray(R"({"status":"streaming","delta":"a\/b\n\"c\"\u0001"})"));
    BridgeListDirResult dir{{}, "F", "x/y"};
    EXPECT_EQ(BridgeSuccessBody{dir.toJson()}.encode(),
              QByteArray(R"({"status":"done","result":{"items":[],"folder_id":"F","sub_path":"x\/y"}})"));
    EXPECT_EQ(BridgeSuccessBody{BridgeShortcutRunResult{}.toJson()}.encode(),
              QByteArray(R"({"status":"done","result":{}})"));

    // A location that is not finite cannot be written: the encoding fails instead
    // of sending null or a bogus number.
    BridgePhotosResult photos;
    photos.items.append({"P", "n", std::nullopt, "image/jpeg",
                         BridgePhotosResult::Item::Location{std::numeric_limits<double>::quiet_NaN(), 2}});
    EXPECT_THROW(BridgeSuccessBody{photos.toJson()}.encode(), JsonEncodingError);
    photos.items[0].location->lat = 1;
    photos.items[0].location->lng = INFINITY;
    EXPECT_THROW(BridgeSuccessBody{photos.toJson()}.encode(), JsonEncodingError);
}
