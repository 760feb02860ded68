#pragma once

#include <QString>

#include <functional>

// The decoder worker's side (the ombrix-decoder program; Decoding.h is the
// program's side): it loads what its profile needs, is sealed, then answers the
// requests that come on its socket, one at a time, until the socket closes.
namespace DecoderWorker {

// Loads the modules of `profile` ("images", "pdf", "ocr" or "photos") and sets
// them up, so that nothing needs opening once the worker is sealed. A module that
// does not load is not an error here: the requests that need it report it.
// False for an unknown profile.
bool prepare(const QString& profile);

// Answers requests on `socket` until it closes; says "ready" first.
void serve(int socket);

} // namespace DecoderWorker
