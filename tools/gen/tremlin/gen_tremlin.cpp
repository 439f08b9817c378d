// Writes the stand-in Tremlin firmware as Intel HEX text to the file named on the command line.

#include "tremlin_stand_in.h"

#include <QFile>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.hex>\n", argv[0]);
        return 2;
    }
    const QByteArray hex = tremlinStandInHex();
    QSaveFile out(QFile::decodeName(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(hex) != hex.size() || !out.commit()) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], argv[1],
                     qPrintable(out.errorString()));
        return 1;
    }
    std::printf("wrote %s: %d bytes\n", argv[1], int(hex.size()));
    return 0;
}
