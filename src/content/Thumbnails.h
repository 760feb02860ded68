#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

// Small pictures of documents for the thumbnail task: images and the first page
// of a PDF, aspect-fit into a square box. Other types have no thumbnail.
namespace Thumbnails {

// The box edge in points: 128 without a request, otherwise the request clamped to 32...256.
int clampedEdge(std::optional<qint64> maxEdge);

// The main screen's scale factor; 2.0 when there is no screen.
double screenScale();

// The box edge in pixels for an edge in points at a scale (rounded, at least 1).
int boxPixels(int edgePoints, double scale);

// The thumbnail of the file, fitting a box of `boxPixels` square, drawn by a
// decoder worker; a null image when the file is neither a readable image nor a
// PDF. Throws DecodeError when the worker fails on it (Decoding.h), and
// MessageError when the file cannot be opened for reading. Blocking: call
// it off the GUI thread.
QImage make(const QString& path, int boxPixels);

// The same from the file's bytes, in the decoder worker: `pdf` says which kind.
QImage fromBytes(const QByteArray& bytes, bool pdf, int boxPixels);

} // namespace Thumbnails
