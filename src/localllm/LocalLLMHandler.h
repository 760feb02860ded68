#pragma once

#include "platform/Json.h"
#include "session/APIService.h"
#include "wire/BridgeTask.h"

#include <QByteArray>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// Runs one bridge task of kind "llm_infer": the backend's OpenAI-style request body
// is sent, with streaming on, to the local model server; the generated text goes
// back in small "streaming" task updates as it arrives, and the run ends with one
// "done" update holding a whole "chat.completion" object, or one "error" update
// with a French message. Nothing is thrown to the caller.
namespace LocalLLMHandler {

// The settings a run reads when it starts.
struct Settings {
    bool enabled = false;
    QString endpoint; // base URL of the server's API; "/chat/completions" is appended
    QString model;    // the model chosen in the settings
};
// The session's current settings (AppSession::shared()).
Settings currentSettings();

QCoro::Task<> handle(const BridgeTask& task, const BridgeTask::LLMInferArgs& args, const APIService& api);
// handle() with the settings given instead of read.
QCoro::Task<> handle(const BridgeTask& task, const BridgeTask::LLMInferArgs& args, const APIService& api,
                     Settings settings);

// The body's top-level "model" string; nothing when the text is not a JSON object
// or has no string "model".
std::optional<QString> extractModel(const QString& json);
// The body with "model", "stream": true and "stream_options": {"include_usage":
// true} set (compact JSON); a body whose top level is not an object is returned as
// it came. Throws an OmbrixError when the text is not UTF-8 or not JSON.
QByteArray rewriteBodyForStreaming(const QString& json, const QString& model);

} // namespace LocalLLMHandler
