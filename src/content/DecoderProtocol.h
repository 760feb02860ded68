#pragma once

#include "content/PhotoMetadataModule.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <optional>

// The messages between the program and a decoder worker (ombrix-decoder), on a Unix
// stream socket. A closed set of fixed records, written and read field by field:
// no type is named by the peer, nothing nests, every length and count is checked
// against its bound and against what the frame still holds before anything is
// allocated, and a frame must be read to its last byte exactly.
//
// Frame: a 32-bit big-endian body length, then the body. Body: the kind (8 bits)
// and the request number (32 bits), then the kind's fields:
//   Request  (program to worker; may carry one descriptor, SCM_RIGHTS, with its
//            first byte): operation, pdf flag, box, maxChars.
//   Ready    (number 0; once, when the worker is sealed): nothing.
//   Progress (OCR only: a PDF page begins): nothing.
//   Done     the operation again, then its result (see Answer).
//   Error    a Failure.
// Integers are big-endian; strings are UTF-8 after a 32-bit byte count; lists a
// 32-bit count then their items. A worker numbers its requests from 1 and every
// answer carries the number of the request it answers: any other frame (a wrong
// number, an unknown kind or operation, a second answer, a descriptor, a field out
// of its bounds) ends that worker.
namespace DecoderProtocol {

// The largest frame either side sends or accepts.
inline constexpr qint64 kMaxFrameBytes = 64LL * 1024 * 1024;

// The descriptor number the worker finds its socket under.
inline constexpr int kWorkerSocketFd = 3;

enum class Op : quint8 { Thumbnail = 1, Ocr = 2, PdfText = 3, PhotoExif = 4 };

// The table of operations, shared by both sides: what an operation's answer may
// weigh and how long it may take. `budget` is the time a request gets; each
// progress frame gives it `budget` again from then on, never past `cap` from the
// request's start (nor past the task's own deadline). An operation that does not
// renew itself has `progress` false: a progress frame then ends the worker.
struct Operation {
    Op op;
    const char* name;
    bool progress;
    std::chrono::milliseconds budget;
    std::chrono::milliseconds cap;
    qint64 maxAnswerBytes;
};

// An image crosses as its raw pixels, in one of these formats only, with the
// stride QImage itself gives (rows aligned to 32 bits), at most 16384 pixels a
// side and kMaxImageBytes in all.
inline constexpr int kMaxImageSide = 16384;
inline constexpr qint64 kMaxImageBytes = 48LL * 1024 * 1024;

// Strings of errors and of the recognised languages are short.
inline constexpr qint64 kMaxShortStringBytes = 64 * 1024;
inline constexpr qint64 kMaxLanguages = 16;
// An error frame: three short strings and a few numbers.
inline constexpr qint64 kMaxErrorFrameBytes = 3 * (kMaxShortStringBytes + 4) + 64;

// The entry of `op`; nothing for a value outside the table.
const Operation* operation(Op op);
const Operation* operation(quint8 op);

struct Request {
    quint32 number = 0;
    Op op = Op::Thumbnail;
    bool pdf = false;    // Thumbnail, Ocr
    qint32 box = 0;      // Thumbnail: the box's edge in pixels
    qint64 maxChars = 0; // PdfText
};

// An error an operation words itself, carried as its parts and thrown again on the
// program's side as the same error.
struct Failure {
    enum class Source : quint8 { Ocr = 1, Extract = 2, Module = 3, Message = 4 };
    Source source = Source::Message;
    qint32 kind = 0; // the error's own kind (OcrError, ExtractorError, ModuleError reason)
    QString first;   // payload / value / feature / message
    QString second;  // module
    QString third;   // detail
    qint64 size = 0; // ExtractorError's size
};

struct Answer {
    enum class Kind : quint8 { Request = 1, Ready = 2, Progress = 3, Done = 4, Error = 5 };
    Kind kind = Kind::Done;
    quint32 number = 0;
    Op op = Op::Thumbnail; // Done
    // Done, by operation:
    QImage image;           // Thumbnail (null: no thumbnail)
    QString text;           // Ocr, PdfText
    QStringList languages;  // Ocr
    bool truncated = false; // PdfText
    qint64 bytesRead = 0;   // PdfText
    PhotoExif exif;         // PhotoExif
    Failure failure;        // Error
};

// What a text answer to a request for `maxChars` characters may weigh in UTF-8
// bytes: the worker cuts a longer text to it (marked truncated).
qint64 maxTextBytes(qint64 maxChars);
// The largest frame that may answer `request` (its operation's bound, narrowed by
// what the request asked for).
qint64 maxAnswerBytes(const Request& request);
// True when a Done answer stays within what `request` asked for (a thumbnail within
// the requested box; a text is bounded by its frame already).
bool withinRequest(const Answer& answer, const Request& request);

// The worker's side of an error it caught: as a Failure (nothing for an exception
// that is no operation's own).
std::optional<Failure> failureOf(const std::exception_ptr& error);
// The program's side: throws the error `failure` describes.
[[noreturn]] void raise(const Failure& failure);

// The body of a frame, and back. decodeAnswer gives nothing for a body that is not
// one whole record of a known kind; a Done's fields are those of `expected` (its
// operation byte must say so too).
QByteArray encodeRequest(const Request& request);
std::optional<Request> decodeRequest(const QByteArray& body);
QByteArray encodeAnswer(const Answer& answer);
std::optional<Answer> decodeAnswer(const QByteArray& body, Op expected);

// Writes one frame (and `fd` when >= 0), blocking until written. False when the
// peer is gone or the body is larger than kMaxFrameBytes.
bool sendFrame(int socket, const QByteArray& body, int fd = -1);

// Reads one frame as its bytes come, without blocking and never past its end; what
// was read stays until the frame is whole. Its body grows with what arrives, not
// with what the length announces.
class FrameReader {
public:
    enum class Status {
        Waiting,    // more is to come
        Complete,   // body() is the whole frame
        Closed,     // the peer is gone (or the socket failed)
        TooLarge,   // the length announced is over the bound
        Descriptor, // a descriptor came with it (the worker sends none)
    };
    // Reads what the socket holds now, up to the end of the frame; a frame longer
    // than `maxBytes` is refused from its length alone.
    Status pump(int socket, qint64 maxBytes);
    const QByteArray& body() const { return body_; }
    // Ready for the next frame.
    void reset();

private:
    unsigned char prefix_[4] = {};
    int prefixRead_ = 0;
    qint64 length_ = -1;
    QByteArray body_;
};

// The worker's side: one whole request frame, waiting as long as it takes; the
// descriptor that came with it in `fd` (else -1). Nothing when the socket closes
// or what came is not one request.
std::optional<Request> receiveRequest(int socket, int* fd);

} // namespace DecoderProtocol
