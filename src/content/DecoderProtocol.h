#pragma once

#include <QImage>
#include <QVariantMap>

#include <optional>

// The messages between the program and a decoder worker (ombrix-decoder): frames
// on a Unix stream socket, each a 32-bit length then a QVariantMap in QDataStream
// form, at most kMaxFrameBytes. A request may carry one open file descriptor
// (SCM_RIGHTS), sent with the frame's first byte.
//
// Requests: {"op": name, ...arguments}. Answers: {"type": "ready"} once the worker
// is sealed, then per request any number of {"type": "progress", "budgetMs": n}
// (the request goes on for at most n more milliseconds), and one {"type": "done",
// ...result} or {"type": "error", ...}.
namespace DecoderProtocol {

inline constexpr qint64 kMaxFrameBytes = 64LL * 1024 * 1024;

// The descriptor number the worker finds its socket under.
inline constexpr int kWorkerSocketFd = 3;

// An image as its raw pixels (no encoding on either side), and back: null when
// what came is not a whole image of at most kMaxFrameBytes.
QVariantMap packImage(const QImage& image);
QImage unpackImage(const QVariantMap& packed);

// Sends one frame (and `fd` when >= 0). False when the peer is gone or the frame is
// too large. Blocks until written.
bool send(int socket, const QVariantMap& message, int fd = -1);

// One whole frame, waiting at most `timeoutMs` (-1: for ever) for its first byte;
// the descriptor that came with it, if any, in `fd` (else -1). Nothing on a closed
// or broken connection, a malformed frame or a timeout (`timedOut` says which).
std::optional<QVariantMap> receive(int socket, int timeoutMs, int* fd = nullptr, bool* timedOut = nullptr);

} // namespace DecoderProtocol
