#include "drawn_images.h"

#include "ico_file.h"
#include "image_style.h"

#include <QBuffer>

#include <functional>

namespace pelmora_images {

namespace {

struct ImageRecipe {
    const char *name;
    int width;
    int height;
    qreal grid;  // drawing units across the width
    std::function<void(QPainter &)> draw;
};

QByteArray encodePng(const QImage &img)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "PNG");
    return out;
}

QImage render(const ImageRecipe &recipe)
{
    Canvas canvas(recipe.width, recipe.height, recipe.grid);
    recipe.draw(canvas.p());
    return canvas.finish();
}

}  // namespace

QVector<int> appIconSizes()
{
    return {16, 24, 32, 48, 256};
}

QImage drawAppIconImage(int side)
{
    Canvas canvas(side, side, 48);
    drawAppIcon(canvas.p());
    return canvas.finish();
}

QVector<DrawnImageFile> drawPelmoraImages()
{
    const QVector<ImageRecipe> recipes = {
        {"Tarvo2.png", 85, 15, 85, drawWordmark},
        {"Close_8.png", 8, 8, 8, [](QPainter &p) { drawClose(p, kSlate); }},
        {"Close_8_blue.png", 8, 8, 8, [](QPainter &p) { drawClose(p, kBlue); }},
        {"Close_8_bluedark.png", 8, 8, 8, [](QPainter &p) { drawClose(p, kBlueDark); }},
        {"Scan_1_32x32.png", 32, 32, 32, drawSearch},
        {"Scan_2_32x32.png", 32, 32, 32, drawSearchDevices},
        {"Connect_32.png", 32, 32, 32, drawConnect},
        {"Disconnect_32.png", 32, 32, 32, drawDisconnect},
        {"Delete_1_32x32.png", 32, 32, 32, drawClear},
        {"Delete_2_32x32.png", 32, 32, 32, drawDelete},
        {"Reset_32.png", 32, 32, 32, drawReset},
        {"Werkstueck_32.png", 32, 32, 32, drawBoard},
        {"Document_32x32.png", 32, 32, 32, drawDocument},
        {"Update_32x32.png", 32, 32, 32, drawWriteFirmware},
        {"DocClose_32.png", 32, 32, 32, drawDocumentClose},
        {"Import_32x32.png", 32, 32, 32, drawImport},
        {"tremlin32.png", 32, 32, 32, drawTremlin},
        {"Connect_16.png", 16, 16, 16, drawConnectSmall},
        {"File_16.png", 16, 16, 16, drawFileSmall},
        {"Dot.png", 12, 12, 12, drawDot},
    };

    QVector<DrawnImageFile> files;
    QVector<QImage> iconImages;
    for (int side : appIconSizes())
        iconImages.append(drawAppIconImage(side));
    files.append({QStringLiteral("OBPelmora.ico"), encodeIcoFile(iconImages)});
    for (const ImageRecipe &recipe : recipes)
        files.append({QString::fromLatin1(recipe.name), encodePng(render(recipe))});
    return files;
}

QByteArray imagesQrc(const QVector<DrawnImageFile> &files)
{
    QByteArray out = "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n  <qresource prefix=\"/img\">\n";
    for (const DrawnImageFile &file : files)
        out += "    <file>" + file.name.toUtf8() + "</file>\n";
    out += "  </qresource>\n</RCC>\n";
    return out;
}

}  // namespace pelmora_images
