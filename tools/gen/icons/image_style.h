#pragma once
// The one flat style shared by every drawn image: two inks on transparent ground, round caps,
// strokes of about 1/12 of the icon. The blue and the greys are those of the window's style
// sheets, so the icons sit in the form without a colour of their own.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPen>

namespace pelmora_images {

inline const QColor kSlate(62, 72, 84);          // main ink
inline const QColor kBlue(0, 145, 220);          // accent, hover border of the form
inline const QColor kBlueDark(0, 121, 168);      // pressed border of the form
inline const QColor kGrey(149, 151, 153);        // frame lines of the form
inline const QColor kPaper(255, 255, 255);
inline const QColor kPaperShade(216, 220, 225);  // band colour of the form

// Fixed resolution written into every PNG, so the files do not depend on the screen of the
// process that draws them.
constexpr int kDotsPerMeter = 3780;  // 96 dpi

// A transparent ARGB image with an antialiased painter already scaled so that the drawing code
// can work in a grid of `grid` units whatever the pixel size.
class Canvas {
public:
    Canvas(int width, int height, qreal grid);
    QPainter &p() { return m_painter; }
    QImage finish();

private:
    QImage m_image;
    QPainter m_painter;
};

QPen roundPen(const QColor &color, qreal width);

// 32x32 tool icons, drawn in a 32-unit grid at any pixel size.
void drawSearch(QPainter &p);
void drawSearchDevices(QPainter &p);
void drawConnect(QPainter &p);
void drawDisconnect(QPainter &p);
void drawClear(QPainter &p);
void drawDelete(QPainter &p);
void drawReset(QPainter &p);
void drawBoard(QPainter &p);
void drawDocument(QPainter &p);
void drawWriteFirmware(QPainter &p);
void drawDocumentClose(QPainter &p);
void drawImport(QPainter &p);
void drawTremlin(QPainter &p);

// Small pieces and the brand images.
void drawConnectSmall(QPainter &p);  // 16-unit grid
void drawFileSmall(QPainter &p);     // 16-unit grid
void drawClose(QPainter &p, const QColor &ink);  // 8-unit grid
void drawDot(QPainter &p);           // 12-unit grid
void drawWordmark(QPainter &p);      // 85x15 units
void drawAppIcon(QPainter &p);       // 48-unit grid

}  // namespace pelmora_images
