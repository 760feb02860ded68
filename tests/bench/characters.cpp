// The character cutter: counting the characters of 1 Mi UTF-16 units of French,
// Thai, Devanagari and emoji text, the first 8,000 characters of each, and the
// first 300 bytes of their UTF-8; Qt's own grapheme boundary finder counting the
// same texts is the yardstick. Medians of five runs after a warm-up.
//
//   build/tests/bench_characters
#include "platform/Characters.h"
#include "support/BenchSupport.h"

#include <QTextBoundaryFinder>

#include <cstdio>
#include <cstdlib>

namespace {
QString filled(const QString& sample, qsizetype units) {
    QString text;
    while (text.size() < units)
        text += sample;
    return text.left(Characters::fitLength(text, units));
}
} // namespace

int main() {
    const qsizetype units = 1024 * 1024;
    const struct {
        const char* name;
        QString text;
    } texts[] = {
        {"French",
         filled(QStringLiteral("Le rapport annuel a été déposé à l'accueil, près de l'entrée. "), units)},
        {"Thai", filled(QStringLiteral("ภาษาไทยกำลังทำงานที่นี่ "), units)},
        {"Devanagari", filled(QStringLiteral("नमस्ते दुनिया क्षत्रिय "), units)},
        {"emoji",
         filled(QStringLiteral("👍🏽 👨‍👩‍👧 🏴󠁧󠁢󠁥󠁮󠁧󠁿 🇫🇷 😀 "),
                units)},
    };
    std::printf(
        "| text (1 Mi UTF-16 units) | characters | count, ms | QTextBoundaryFinder, ms | first 8,000, ms | "
        "first 300 UTF-8 bytes, µs |\n|---|---|---|---|---|---|\n");
    for (const auto& entry : texts) {
        qsizetype characters = 0;
        const double count = medianMs([&] { characters = Characters::count(entry.text); });
        const double finder = medianMs([&] {
            QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, entry.text);
            qsizetype n = 0;
            while (boundaries.toNextBoundary() > 0)
                ++n;
            if (n < 0)
                std::abort();
        });
        QString kept;
        const double left = medianMs([&] { kept = Characters::left(entry.text, 8000); });
        const QByteArray utf8 = entry.text.toUtf8();
        qsizetype cut = 0;
        const double bytes = medianMs([&] {
            for (int i = 0; i < 1000; ++i)
                cut += Characters::utf8PrefixLength(utf8, 300);
        });
        std::printf("| %s | %lld | %.2f | %.2f | %.3f | %.2f |\n", entry.name,
                    static_cast<long long>(characters), count, finder, left, bytes);
    }
    return 0;
}
