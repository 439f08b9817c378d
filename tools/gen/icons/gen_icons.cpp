// Rewrites the committed images and their resource list: gen_icons <src/resources/images>
// [<packaging/icons>]; the second folder gets the application icon for desktop installs.

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
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: gen_icons <output folder> [<desktop icon folder>]\n");
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
    if (argc == 3) {
        const QDir desktop(QString::fromLocal8Bit(argv[2]));
        for (int side : {16, 32, 48, 256}) {
            const QString name = desktop.filePath(QStringLiteral("pelmora-%1.png").arg(side));
            if (!pelmora_images::drawAppIconImage(side).save(name, "PNG"))
                return 1;
        }
        std::printf("gen_icons: desktop icons written to %s\n", argv[2]);
    }
    return 0;
}
