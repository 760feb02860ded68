#pragma once

#include "content/PdfModule.h"

#include <QByteArray>

#include <memory>

// A decoder taken over by a file that speaks to the program itself, on the
// worker's socket: frames written by hand (a second answer, a wrong request
// number, a descriptor, an answer announced huge then dribbled, values past their
// bounds, nested maps), or a document whose pages each take their time so that
// the worker's progress would renew the request for ever, or one page that takes
// 5 s. The orders ("FRAME:…", "PAGES", "SLOW") are read from the file's bytes; the frames assume the worker's
// first request (number 1). Null when the bytes hold none of these orders.
std::unique_ptr<PdfDocument> hostileFramesDocument(const QByteArray& bytes);
