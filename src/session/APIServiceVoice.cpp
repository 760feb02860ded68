#include "platform/Localization.h"
#include "session/APIService.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <variant>

namespace {

// A file name inside a quoted header parameter: a quote or a line break would end
// the parameter or the header, so they are written percent-encoded as browsers do.
QByteArray quotedFileName(const QString& name) {
    QByteArray bytes = name.toUtf8();
    bytes.replace("\"", "%22");
    bytes.replace("\r", "%0D");
    bytes.replace("\n", "%0A");
    return bytes;
}

void textField(QByteArray& body, const QByteArray& boundary, const char* name, const QByteArray& value) {
    body += "--" + boundary + "\r\n";
    body += QByteArray("Content-Disposition: form-data; name=\"") + name + "\"\r\n\r\n";
    body += value + "\r\n";
}

// Reads a whole file; the error message when it cannot be read.
std::variant<QByteArray, QString> readWholeFile(const QString& path) {
    QFile file(path);
    const QString name = QFileInfo(path).fileName();
    if (!file.exists())
        return loc("Le fichier « %1 » n’a pas pu être ouvert car il n’existe pas.").arg(name);
    if (!file.open(QIODevice::ReadOnly))
        return loc("Le fichier « %1 » n’a pas pu être ouvert.").arg(name);
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return loc("Le fichier « %1 » n’a pas pu être lu.").arg(name);
    return bytes;
}

// The body as a JSON object with at least one member; APIError::decoding otherwise.
// A body that is not JSON throws the parser's error.
Json nonEmptyObject(const QByteArray& body) {
    Json value = json::parse(body);
    if (!value.is_object() || value.empty())
        throw APIError::decoding();
    return value;
}

std::optional<QString> stringMember(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return json::qstr(*it);
}

} // namespace

QByteArray APIService::recordingFormBody(const QByteArray& boundary, const QString& language, bool transcribe,
                                         std::optional<qint64> recordingMs, const QString& fileName,
                                         const QByteArray& fileBytes) {
    const QByteArray contentType = QFileInfo(fileName).suffix().toLower() == QLatin1String("m4a")
                                       ? QByteArray("audio/m4a")
                                       : QByteArray("application/octet-stream");
    QByteArray body;
    textField(body, boundary, "recording[language]", language.toUtf8());
    textField(body, boundary, "recording[channel]", "desktop");
    if (!transcribe)
        textField(body, boundary, "recording[skip_transcription]", "true");
    if (recordingMs && *recordingMs >= 1)
        textField(body, boundary, "recording[recording_ms]", QByteArray::number(*recordingMs));
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"recording[file]\"; filename=\"" +
            quotedFileName(fileName) + "\"\r\n";
    body += "Content-Type: " + contentType + "\r\n\r\n";
    body += fileBytes;
    body += "\r\n";
    body += "--" + boundary + "--\r\n";
    return body;
}

QCoro::Task<APIService::RecordingResult>
APIService::uploadRecording(QString filePath, QString language, bool transcribe,
                            std::optional<qint64> recordingMs) const {
    requireToken();
    // The call outlives a suspension below: keep a copy of this value.
    const APIService self = *this;
    const QByteArray boundary = "----Ombrix-" + uuidText(QUuid::createUuid()).toUtf8();
    // The recording is read off the GUI thread.
    // (The future is a local of its own: g++ 12 mishandles temporaries made inside
    // a co_await expression.)
    QFuture<std::variant<QByteArray, QString>> reading = QtConcurrent::run(readWholeFile, filePath);
    const auto read = co_await reading;
    if (const QString* message = std::get_if<QString>(&read))
        throw MessageError(*message);
    const QByteArray& fileBytes = std::get<QByteArray>(read);

    Call call;
    call.method = "POST";
    call.path = QStringLiteral("/recordings.json");
    call.contentType = "multipart/form-data; boundary=" + boundary;
    call.body = recordingFormBody(boundary, language, transcribe, recordingMs, QFileInfo(filePath).fileName(),
                                  fileBytes);
    call.timeoutMs = 120000;

    QElapsedTimer timer;
    timer.start();
    const HttpResponse response = co_await self.send(std::move(call));
    const qint64 uploadMs = timer.elapsed();

    const Json object = nonEmptyObject(response.body);
    auto id = object.find("id");
    if (id == object.end() || !id->is_number_integer() ||
        (id->is_number_unsigned() && id->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)))
        throw APIError::decoding();
    RecordingResult result;
    result.id = id->get<qint64>();
    result.transcription = stringMember(object, "transcription").value_or(QString());
    result.language = stringMember(object, "language");
    result.uploadMs = uploadMs;
    co_return result;
}

QCoro::Task<APIService::VoiceReply> APIService::sendVoiceQuery(qint64 recordingId, QString transcription,
                                                               Provider provider, bool audio, QString voice,
                                                               std::optional<qint64> uploadMs,
                                                               std::optional<QString> localModel,
                                                               std::optional<QString> cloudModel) const {
    requireToken();
    Json body = Json::object();
    body["provider"] = json::str(rawValue(provider));
    body["text"] = transcription.isEmpty() ? std::string("(audio message)") : json::str(transcription);
    body["recording_id"] = recordingId;
    body["channel"] = "desktop";
    if (provider == Provider::Local)
        body["model"] = localModel && !localModel->isEmpty() ? json::str(*localModel) : std::string("local");
    else if (cloudModel && !cloudModel->isEmpty())
        body["model"] = json::str(*cloudModel);
    if (audio) {
        body["audio"] = true;
        body["voice"] = json::str(voice);
    }
    if (uploadMs && *uploadMs >= 1)
        body["upload_ms"] = *uploadMs;

    Call call = jsonPost(QStringLiteral("/queries.json"), body);
    call.timeoutMs = 180000;
    const HttpResponse response = co_await send(std::move(call));

    const Json object = nonEmptyObject(response.body);
    VoiceReply reply;
    auto text = stringMember(object, "text");
    if (!text)
        throw APIError::decoding();
    reply.text = *text;
    reply.audioBase64 = stringMember(object, "audio_base64");
    reply.audioFormat = stringMember(object, "audio_format");
    co_return reply;
}
