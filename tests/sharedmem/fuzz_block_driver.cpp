// Runs the block fuzz target without libFuzzer: the committed seeds, then deterministic
// mutations of them, so the ordinary and the sanitizer builds exercise it on every test run.

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QDir corpus(QStringLiteral(PELMORA_CORPUS_DIR));
    std::vector<QByteArray> seeds;
    for (const QString &name : corpus.entryList(QDir::Files, QDir::Name)) {
        QFile f(corpus.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            seeds.push_back(f.readAll());
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "no seeds in %s\n", PELMORA_CORPUS_DIR);
        return 1;
    }
    for (const QByteArray &seed : seeds)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(seed.constData()), size_t(seed.size()));

    std::mt19937 rng(0x5EED);
    constexpr int kMutations = 4000;
    for (int i = 0; i < kMutations; ++i) {
        QByteArray input = seeds[rng() % seeds.size()];
        input = input.leftJustified(312, '\0', true);
        const int flips = 1 + int(rng() % 16);
        for (int f = 0; f < flips; ++f) {
            const int at = int(rng() % 312);
            switch (rng() % 4) {
            case 0: input[at] = char(rng()); break;
            case 1: input[at] = '\0'; break;
            case 2: input[at] = char(0xFF); break;
            default: input[at] = char(0x80 | (rng() & 0x3F)); break;  // stray continuation byte
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
    }
    std::printf("block fuzz: %zu seeds, %d mutations\n", seeds.size(), kMutations);
    return 0;
}
