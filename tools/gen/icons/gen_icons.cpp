// Rewrites the committed images and their resource list: gen_icons <src/resources/images>.

#include "drawn_images.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "gen_icons: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: gen_icons <output folder>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QVector<pelmora_images::DrawnImageFile> files = pelmora_images::drawPelmoraImages();
    for (const auto &file : files) {
        if (file.bytes.isEmpty() || !writeFile(dir.filePath(file.name), file.bytes))
            return 1;
    }
    if (!writeFile(dir.filePath(QStringLiteral("images.qrc")), pelmora_images::imagesQrc(files)))
        return 1;
    std::printf("gen_icons: %d images written to %s\n", int(files.size()), argv[1]);
    return 0;
}
