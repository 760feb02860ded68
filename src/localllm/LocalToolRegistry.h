#pragma once

#include "platform/Json.h"

#include <QString>

#include <QCoro/QCoroTask>

// The ten functions a tool-capable local model may call while it answers in the
// chat: which models get them, their definitions for the request's "tools", and
// running one call by name. Results are always text for the model; a tool never
// throws, every failure becomes a sentence. GUI thread.
//
// Result conventions: lists are numbered lines ("1. …") joined by a line feed;
// files are named by opaque upper-case UUIDs kept in the bridge's id cache, folders
// by their shared-folder id; documents link as ombrix://local_file/open/<id> and
// photos as [name](ombrix://local_photo/view/<id>).
namespace LocalToolRegistry {

// True when the lower-cased model id contains "qwen3" or "qwen2.5".
bool isToolCapable(const QString& model);

// The ten OpenAI-style function definitions, in their fixed order.
Json schemas();

// Runs the tool called `name` (exact, case-sensitive) with the argument text the
// model produced (anything but a JSON object counts as no arguments). An unknown
// name answers "Unknown tool: <name>". Never throws.
QCoro::Task<QString> dispatch(QString name, QString argumentsJSON);

} // namespace LocalToolRegistry
