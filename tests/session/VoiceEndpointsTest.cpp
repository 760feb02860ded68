#include "session/APIService.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile file(dir.filePath(name));
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return file.fileName();
}

QByteArray boundaryOf(const RecordedRequest& r) {
    const QByteArray type = r.header("Content-Type").value_or(QByteArray());
    const QByteArray prefix = "multipart/form-data; boundary=";
    return type.startsWith(prefix) ? type.mid(prefix.size()) : QByteArray();
}

QByteArray field(const QByteArray& boundary, const QByteArray& name, const QByteArray& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
           "\r\n";
}
} // namespace

TEST(VoiceEndpoints, UploadSendsTheExactMultipartForm) {
    FakeBackend backend;
    ScriptedResponse answer =
        ScriptedResponse::json(201, R"({"id": 9, "transcription": "salut", "language": "fr"})");
    backend.route("POST", "/api/v1/recordings.json", [&](const RecordedRequest&) { return answer; });
    QTemporaryDir dir;
    // Audio bytes include CR, LF, NUL and what looks like a boundary.
    const QByteArray audio = QByteArray("\x00\x01\r\n--x\r\n\xff", 10);
    const QString m4a = writeFile(dir, "prise.M4A", audio);
    APIService api(QString("tok"));

    const RecordingResult result = runTask(api.uploadRecording(m4a, "fr-FR", true, std::nullopt));
    EXPECT_EQ(result.id, 9);
    EXPECT_EQ(result.transcription, "salut");
    EXPECT_EQ(result.language, QString("fr"));
    ASSERT_TRUE(result.uploadMs);
    EXPECT_GE(*result.uploadMs, 0);

    RecordedRequest r = backend.lastRequest();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/api/v1/recordings.json");
    EXPECT_EQ(r.header("X-User-Token"), QByteArray("tok"));
    const QByteArray boundary = boundaryOf(r);
    ASSERT_TRUE(boundary.startsWith("----Ombrix-"));
    EXPECT_EQ(boundary.size(), 11 + 36);
    EXPECT_EQ(boundary.mid(11), boundary.mid(11).toUpper());
    // Three parts: language, channel, file; then the closing line.
    EXPECT_EQ(r.body,
              field(boundary, "recording[language]", "fr-FR") +
                  field(boundary, "recording[channel]", "desktop") + "--" + boundary +
                  "\r\nContent-Disposition: form-data; name=\"recording[file]\"; filename=\"prise.M4A\"\r\n"
                  "Content-Type: audio/m4a\r\n\r\n" +
                  audio + "\r\n--" + boundary + "--\r\n");

    // No transcription wanted, a length of 1 ms, another extension, an empty language.
    const QString wav = writeFile(dir, "a.wav", "RIFF");
    runTask(api.uploadRecording(wav, "", false, 1));
    r = backend.lastRequest();
    const QByteArray b2 = boundaryOf(r);
    EXPECT_NE(b2, boundary);
    EXPECT_EQ(r.body,
              field(b2, "recording[language]", "") + field(b2, "recording[channel]", "desktop") +
                  field(b2, "recording[skip_transcription]", "true") +
                  field(b2, "recording[recording_ms]", "1") + "--" + b2 +
                  "\r\nContent-Disposition: form-data; name=\"recording[file]\"; filename=\"a.wav\"\r\n"
                  "Content-Type: application/octet-stream\r\n\r\nRIFF\r\n--" +
                  b2 + "--\r\n");
    runTask(api.uploadRecording(wav, "fr", true, 0));
    EXPECT_FALSE(backend.lastRequest().body.contains("recording_ms"));
}

TEST(VoiceEndpoints, FileNameCannotBreakOutOfItsHeader) {
    const QByteArray body = APIService::recordingFormBody("B", "fr", true, std::nullopt,
                                                          "a\"; name=\"x\r\nX-Evil: 1\n.m4a", "DATA");
    EXPECT_TRUE(
        body.contains("filename=\"a%22; name=%22x%0D%0AX-Evil: 1%0A.m4a\"\r\nContent-Type: audio/m4a\r\n"));
    EXPECT_FALSE(body.contains("\r\nX-Evil"));
}

TEST(VoiceEndpoints, UploadAnswersAndFailures) {
    FakeBackend backend;
    ScriptedResponse answer;
    backend.route("POST", "/api/v1/recordings.json", [&](const RecordedRequest&) { return answer; });
    QTemporaryDir dir;
    const QString file = writeFile(dir, "r.m4a", "abc");
    APIService api(QString("tok"));
    auto upload = [&] { return runTask(api.uploadRecording(file, "fr", true, std::nullopt)); };
    auto failure = [&] {
        return errorText(runTaskCatching(api.uploadRecording(file, "fr", true, std::nullopt)));
    };

    answer = ScriptedResponse::json(200, R"({"id": 3, "transcription": 5, "language": null})");
    RecordingResult result = upload();
    EXPECT_EQ(result.transcription, "");
    EXPECT_EQ(result.language, std::nullopt);
    for (const QByteArray& bad : {QByteArray(R"({"id":"3"})"), QByteArray("{}"), QByteArray("[1]"),
                                  QByteArray(R"({"transcription":"x"})"), QByteArray(R"({"id":3.5})")}) {
        answer = ScriptedResponse::json(200, bad);
        EXPECT_EQ(failure(), "Réponse illisible du serveur") << bad.data();
    }
    answer = ScriptedResponse::json(200, "not json");
    EXPECT_THROW(upload(), JsonDecodingError);
    answer = ScriptedResponse::text(413, "trop gros");
    EXPECT_EQ(failure(), "Erreur HTTP 413 : trop gros");

    // An unreadable file fails before anything is sent; so does a missing token,
    // before the file is even looked at.
    backend.clearRequests();
    EXPECT_EQ(
        errorText(runTaskCatching(api.uploadRecording(dir.filePath("absent.m4a"), "fr", true, std::nullopt))),
        "Le fichier « absent.m4a » n’a pas pu être ouvert car il n’existe pas.");
    EXPECT_EQ(
        errorText(runTaskCatching(
            APIService(QString("")).uploadRecording(dir.filePath("absent.m4a"), "fr", true, std::nullopt))),
        "Pas connecté. Configure ton jeton dans Réglages.");
    EXPECT_EQ(backend.requestCount(), 0);
}

TEST(VoiceEndpoints, VoiceQueryBodyAndReply) {
    FakeBackend backend;
    ScriptedResponse answer =
        ScriptedResponse::json(200, R"({"text":"Réponse","audio_base64":"QUJD","audio_format":"mp3"})");
    backend.route("POST", "/api/v1/queries.json", [&](const RecordedRequest&) { return answer; });
    APIService api(QString("tok"));
    auto bodyOf = [&] { return Json::parse(backend.lastRequest().body.toStdString()); };

    APIService::VoiceReply reply =
        runTask(api.sendVoiceQuery(9, "", Provider::OpenAI, true, "", 250, std::nullopt, QString("gpt-4o")));
    EXPECT_EQ(reply.text, "Réponse");
    EXPECT_EQ(reply.audioBase64, QString("QUJD"));
    EXPECT_EQ(reply.audioFormat, QString("mp3"));
    EXPECT_EQ(backend.lastRequest().header("Content-Type"), QByteArray("application/json"));
    EXPECT_EQ(bodyOf(), Json::parse(R"J({"provider":"openai","text":"(audio message)","recording_id":9,
        "channel":"desktop","model":"gpt-4o","audio":true,"voice":"","upload_ms":250})J"));

    answer = ScriptedResponse::json(200, R"({"text":""})");
    reply =
        runTask(api.sendVoiceQuery(9, "dis", Provider::Local, false, "alloy", 0, QString(""), std::nullopt));
    EXPECT_EQ(reply.text, "");
    EXPECT_EQ(reply.audioBase64, std::nullopt);
    EXPECT_EQ(bodyOf(), Json::parse(R"({"provider":"local","text":"dis","recording_id":9,"channel":"desktop",
        "model":"local"})"));

    for (const QByteArray& bad : {QByteArray("{}"), QByteArray(R"({"text":1})"), QByteArray("[]")}) {
        answer = ScriptedResponse::json(200, bad);
        EXPECT_EQ(errorText(runTaskCatching(api.sendVoiceQuery(1, "t", Provider::Gemini, false, "",
                                                               std::nullopt, std::nullopt, std::nullopt))),
                  "Réponse illisible du serveur")
            << bad.data();
    }
}
