// The peak memory json::parse takes for texts just under the 16 MiB a poll answer
// may have, by shape: every allocation made through operator new (all of the
// parsed tree and the parser's own buffers) is counted, and the highest total
// reached during one parse is the peak. The text itself is not counted.
//
//   build/tests/bench_json_memory [megabytes]
#include "platform/Json.h"

#include <QByteArray>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>

#include <malloc.h>

namespace {
std::atomic<long long> live{0};
std::atomic<long long> peak{0};

void* counted(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    const long long now = live.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
                          static_cast<long long>(malloc_usable_size(p));
    long long seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    return p;
}
void uncounted(void* p) noexcept {
    if (!p)
        return;
    live.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
    std::free(p);
}
} // namespace

void* operator new(std::size_t size) {
    return counted(size);
}
void* operator new[](std::size_t size) {
    return counted(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    uncounted(p);
}
void operator delete[](void* p) noexcept {
    uncounted(p);
}
void operator delete(void* p, std::size_t) noexcept {
    uncounted(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    uncounted(p);
}

namespace {
// A text of `items` repeated (comma-separated) inside `open` ... `close`, as long as
// fits in `bytes`.
QByteArray filled(qsizetype bytes, const QByteArray& open, const std::function<QByteArray(int)>& item,
                  const QByteArray& close) {
    QByteArray text = open;
    text.reserve(bytes);
    for (int i = 0;; ++i) {
        const QByteArray next = (i ? QByteArray(",") : QByteArray()) + item(i);
        if (text.size() + next.size() + close.size() > bytes)
            break;
        text += next;
    }
    return text + close;
}
} // namespace

int main(int argc, char** argv) {
    const qsizetype bytes =
        argc > 1 ? qsizetype(std::atof(argv[1]) * 1024 * 1024) : 16 * 1024 * 1024 - 4096; // under the cap
    struct Shape {
        const char* name;
        QByteArray text;
    };
    const Shape shapes[] = {
        {"[{},{},...] empty objects", filled(
                                          bytes, "[", [](int) { return QByteArray("{}"); }, "]")},
        {"[[],[],...] empty arrays", filled(
                                         bytes, "[", [](int) { return QByteArray("[]"); }, "]")},
        {"[0,0,...] small numbers", filled(
                                        bytes, "[", [](int) { return QByteArray("0"); }, "]")},
        {"{\"k1\":1,...} distinct keys",
         filled(
             bytes, "{", [](int i) { return "\"k" + QByteArray::number(i) + "\":1"; }, "}")},
        {"{\"\":{},...} one key repeated", filled(
                                               bytes, "{", [](int) { return QByteArray("\"\":{}"); }, "}")},
        {"poll task, small members",
         filled(
             bytes, R"({"id":"T","kind":"llm_infer","args":{"extra":{)",
             [](int i) { return "\"k" + QByteArray::number(i) + "\":[" + QByteArray::number(i) + ",true]"; },
             "}}}")},
        {"poll task, records of text", filled(
                                           bytes, R"({"id":"T","kind":"x","args":{"items":[)",
                                           [](int i) {
                                               return R"({"name":"document-)" + QByteArray::number(i) +
                                                      R"(.pdf","size":12345,"kind":"file"})";
                                           },
                                           "]}}")},
        {"one long string", "\"" + QByteArray(bytes - 2, 'a') + "\""},
        {"budget of costly values, then a string",
         [&] {
             QByteArray values = "{\"v\":{";
             for (std::size_t i = 0; i + 3 < json::maxValues; ++i)
                 values += (i ? ",\"" : "\"") + QByteArray::number(qulonglong(i), 36) + "\":{}";
             values += "},\"s\":\"";
             return values + QByteArray(bytes - values.size() - 2, 'a') + "\"}";
         }()},
    };
    std::printf("%-40s %9s %11s %9s %s\n", "shape", "text MiB", "peak MiB", "peak/text", "outcome");
    for (const Shape& shape : shapes) {
        const long long before = live.load();
        peak.store(before);
        const char* outcome = "parsed";
        try {
            const Json value = json::parse(shape.text);
        } catch (const JsonDecodingError& error) {
            outcome =
                error.kind() == JsonDecodingError::Kind::TooLarge ? "refused (too many values)" : "refused";
        }
        const double peakMiB = double(peak.load() - before) / (1024.0 * 1024.0);
        const double textMiB = double(shape.text.size()) / (1024.0 * 1024.0);
        std::printf("%-40s %9.2f %11.1f %9.1f %s\n", shape.name, textMiB, peakMiB, peakMiB / textMiB,
                    outcome);
    }
    return 0;
}
