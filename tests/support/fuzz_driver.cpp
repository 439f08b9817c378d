// Runs a libFuzzer-style target without libFuzzer: every file of the seed corpus, then
// deterministic mutations of them (byte flips, cuts, splices). Usage: driver CORPUS_DIR [N].
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const int rounds = argc > 2 ? atoi(argv[2]) : 20000;
    QList<QByteArray> seeds;
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const QString &name : dir.entryList(QDir::Files)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            seeds << f.readAll();
    }
    if (seeds.isEmpty())
        seeds << QByteArray();
    for (const QByteArray &s : seeds)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(s.constData()), size_t(s.size()));
    QRandomGenerator rng(12345);
    for (int i = 0; i < rounds; ++i) {
        QByteArray input = seeds.at(int(rng.bounded(seeds.size())));
        const int edits = 1 + int(rng.bounded(8));
        for (int e = 0; e < edits; ++e) {
            const int kind = int(rng.bounded(4));
            if (kind == 0 && !input.isEmpty())
                input[int(rng.bounded(input.size()))] = char(rng.bounded(256));
            else if (kind == 1 && !input.isEmpty())
                input.truncate(int(rng.bounded(input.size())));
            else if (kind == 2)
                input.insert(int(rng.bounded(input.size() + 1)), seeds.at(int(rng.bounded(seeds.size()))));
            else if (!input.isEmpty())
                input.remove(int(rng.bounded(input.size())), int(rng.bounded(16)));
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
    }
    std::printf("%d seeds, %d mutated inputs: no finding\n", int(seeds.size()), rounds);
    return 0;
}
