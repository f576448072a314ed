// Draws Kelvane's banner picture into wizard/resources, its window icons into app/resources and the desktop's larger
// icons into dist/icons. The results are
// committed, so this only runs on request (the `art` build target); it paints into QImages and never opens a window.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QVector>
#include <QtMath>

#include <cstdio>

namespace {

// 96 dots per inch, the resolution the window layout is designed for.
constexpr int kDotsPerMeter = 3780;

// The pictogram is designed in a 100 x 72 unit box; callers scale it.
constexpr qreal kUnitW = 100.0;
constexpr qreal kUnitH = 72.0;

struct PictogramStyle {
    QColor outline;     // transparent for none
    qreal outlineWidth; // in units
    QColor bezel;       // monitor case and stand
    QColor screenTop;   // screen gradient
    QColor screenBottom;
    QColor dish;      // dish face, mast, arm
    QColor dishShade; // inside of the bowl
    QColor signal;    // waves leaving the feed
};

QPainterPath roundedRect(const QRectF& r, qreal radius) {
    QPainterPath p;
    p.addRoundedRect(r, radius, radius);
    return p;
}

// Geometry of the dish, shared by its parts: a tilted rim ellipse whose bowl faces up and to the left, over the
// monitor, as if receiving for it.
constexpr qreal kDishAngle = -38.0; // degrees, rotation of the rim ellipse
const QPointF kDishCentre(76.0, 27.0);
constexpr qreal kDishRx = 19.0;
constexpr qreal kDishRy = 7.5;

QPointF dishNormal() {
    // The bowl opens along the rim's normal.
    const qreal a = qDegreesToRadians(kDishAngle - 90.0);
    return {qCos(a), qSin(a)};
}

void drawDish(QPainter& p, const PictogramStyle& s) {
    QPen pen = s.outline.alpha() ? QPen(s.outline, s.outlineWidth) : QPen(Qt::NoPen);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);

    // Mast and foot, drawn first so the dish sits on top of them.
    const QPointF mastTop(kDishCentre.x() + 4.0, kDishCentre.y() + 6.0);
    const qreal groundY = 69.0;
    QPainterPath mast;
    mast.addRect(QRectF(mastTop.x() - 2.0, mastTop.y(), 4.0, groundY - mastTop.y() - 2.0));
    mast.addRoundedRect(QRectF(mastTop.x() - 9.0, groundY - 3.5, 18.0, 3.5), 1.5, 1.5);
    p.setPen(pen);
    p.setBrush(s.dish);
    p.drawPath(mast.simplified());

    // The bowl: the rim ellipse, with a crescent of shade to show its depth.
    p.save();
    p.translate(kDishCentre);
    p.rotate(kDishAngle);
    QPainterPath rim;
    rim.addEllipse(QPointF(0, 0), kDishRx, kDishRy);
    QPainterPath back;
    back.addEllipse(QPointF(0, 3.2), kDishRx * 0.93, kDishRy * 1.05);
    QPainterPath bowl = rim.united(back);
    p.setBrush(s.dish);
    p.drawPath(bowl);
    QPainterPath inner;
    inner.addEllipse(QPointF(0, -0.6), kDishRx * 0.82, kDishRy * 0.62);
    p.setPen(Qt::NoPen);
    p.setBrush(s.dishShade);
    p.drawPath(inner);
    p.restore();

    // Feed arm from the middle of the bowl to the feed horn in front of it.
    const QPointF n = dishNormal();
    const QPointF feed = kDishCentre + n * 15.0;
    QPen arm(s.outline.alpha() ? s.outline : s.dish, 2.2);
    arm.setCapStyle(Qt::RoundCap);
    p.setPen(arm);
    p.drawLine(kDishCentre + n * 1.0, feed);
    p.setPen(pen);
    p.setBrush(s.dish);
    p.drawEllipse(feed, 2.6, 2.6);

    // Signal waves spreading from the feed along the bowl's axis.
    QPen wave(s.signal, 2.4);
    wave.setCapStyle(Qt::RoundCap);
    p.setPen(wave);
    p.setBrush(Qt::NoBrush);
    // Arc angles run counter-clockwise (y up), screen angles clockwise (y down), hence the sign.
    const qreal axis = -(kDishAngle - 90.0);
    for (int i = 0; i < 3; ++i) {
        const qreal r = 6.5 + i * 5.0;
        const QRectF box(feed.x() - r, feed.y() - r, 2 * r, 2 * r);
        p.drawArc(box, int((axis - 28.0) * 16), int(56.0 * 16));
    }
}

void drawMonitor(QPainter& p, const PictogramStyle& s) {
    QPen pen = s.outline.alpha() ? QPen(s.outline, s.outlineWidth) : QPen(Qt::NoPen);
    pen.setJoinStyle(Qt::RoundJoin);

    // Stand: a neck widening towards a flat foot.
    QPainterPath stand;
    QPolygonF neck;
    neck << QPointF(25, 54) << QPointF(35, 54) << QPointF(37.5, 64) << QPointF(22.5, 64);
    stand.addPolygon(neck);
    stand.closeSubpath();
    stand.addRoundedRect(QRectF(13, 63, 34, 5.5), 2.0, 2.0);
    p.setPen(pen);
    p.setBrush(s.bezel);
    p.drawPath(stand.simplified());

    // Case and screen; the case is a frame around the glass, so a translucent screen stays see-through.
    const QRectF bezel(0, 14, 60, 42);
    const QRectF screen = bezel.adjusted(4.0, 4.0, -4.0, -7.0);
    p.drawPath(roundedRect(bezel, 4.0).subtracted(roundedRect(screen, 1.5)));
    QLinearGradient g(screen.topLeft(), screen.bottomRight());
    g.setColorAt(0.0, s.screenTop);
    g.setColorAt(1.0, s.screenBottom);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(screen, 1.5, 1.5);

    // A glare across the upper left of the glass.
    QPainterPath glare;
    glare.moveTo(screen.topLeft());
    glare.lineTo(screen.left() + screen.width() * 0.55, screen.top());
    glare.lineTo(screen.left(), screen.top() + screen.height() * 0.75);
    glare.closeSubpath();
    QColor sheen(255, 255, 255, s.screenTop.alpha() / 5);
    p.setBrush(sheen);
    p.drawPath(glare.intersected(roundedRect(screen, 1.5)));

    // Power light in the chin of the case.
    QColor led = s.dishShade;
    p.setBrush(led);
    p.drawEllipse(QPointF(bezel.right() - 6.0, bezel.bottom() - 3.5), 1.2, 1.2);
}

// Paints the whole pictogram, fully opaque, into a transparent layer of the given size.
QImage pictogramLayer(const QSize& size, const PictogramStyle& s) {
    QImage layer(size, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    QPainter p(&layer);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size.width() / kUnitW, size.height() / kUnitH);
    drawDish(p, s);
    drawMonitor(p, s);
    return layer;
}

QImage banner() {
    const QSize size(405, 67);

    // Paint in ARGB and convert at the end; RGB888 is only the file's pixel layout.
    QImage work(size, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&work);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient ground(0, 0, size.width(), 0);
    ground.setColorAt(0.00, QColor(0xe6, 0xf1, 0xfc));
    ground.setColorAt(0.30, QColor(0xa9, 0xcb, 0xf0));
    ground.setColorAt(0.70, QColor(0x3f, 0x7f, 0xd9));
    ground.setColorAt(1.00, QColor(0x0b, 0x3d, 0xb3));
    p.fillRect(work.rect(), ground);

    // A soft sheen over the upper half, as on a lit surface.
    QLinearGradient sheen(0, 0, 0, size.height());
    sheen.setColorAt(0.0, QColor(255, 255, 255, 70));
    sheen.setColorAt(0.5, QColor(255, 255, 255, 0));
    sheen.setColorAt(1.0, QColor(0, 0, 0, 18));
    p.fillRect(work.rect(), sheen);

    // The larger, faded copy at the right, allowed to run off the top edge.
    {
        const QColor white(255, 255, 255);
        const PictogramStyle ghost{
            QColor(Qt::transparent),    0,    white, QColor(255, 255, 255, 70), QColor(255, 255, 255, 25), white,
            QColor(255, 255, 255, 150), white};
        const QSize gs(104, 75);
        p.setOpacity(0.20);
        p.drawImage(QPointF(size.width() - gs.width() - 8, -6), pictogramLayer(gs, ghost));
        p.setOpacity(1.0);
    }

    // The pictogram at the left, inside the part of the banner that the panel shows (it clips a few pixels at
    // the left and top).
    {
        const QColor ink(0x1d, 0x4f, 0x9e);
        const QColor white(255, 255, 255);
        const PictogramStyle main{
            ink, 1.6, white, QColor(0x7d, 0xb8, 0xf2), QColor(0x1f, 0x5c, 0xc0), white, QColor(0xc9, 0xdc, 0xf3), ink};
        const QColor black(0, 0, 0);
        const PictogramStyle shadow{black, 1.6, black, black, black, black, black, QColor(Qt::transparent)};
        const QSize ms(71, 51);
        const QPointF at(18, 12);
        const QImage shade = pictogramLayer(ms, shadow);
        p.setOpacity(0.10);
        p.drawImage(at + QPointF(1.5, 1.5), shade);
        p.setOpacity(0.06);
        p.drawImage(at + QPointF(2.5, 2.5), shade);
        p.setOpacity(1.0);
        p.drawImage(at, pictogramLayer(ms, main));
    }

    // A darker rule along the lower edge sets the banner off from the panel below.
    p.setPen(QColor(0, 0, 0, 40));
    p.drawLine(QPointF(0, size.height() - 0.5), QPointF(size.width(), size.height() - 0.5));
    p.end();

    QImage img = work.convertToFormat(QImage::Format_RGB888);
    img.setDotsPerMeterX(kDotsPerMeter);
    img.setDotsPerMeterY(kDotsPerMeter);
    return img;
}

// The desktop's icon at the larger theme sizes: the banner's pictogram, smoothly drawn, centred on a transparent
// square. The two smallest sizes are the window's hand-placed icons.
QImage themeIcon(int px) {
    const QColor ink(0x1d, 0x4f, 0x9e);
    const QColor white(255, 255, 255);
    const PictogramStyle main{
        ink, 1.6, white, QColor(0x7d, 0xb8, 0xf2), QColor(0x1f, 0x5c, 0xc0), white, QColor(0xc9, 0xdc, 0xf3), ink};
    const int w = px * 15 / 16;
    const int h = qRound(w * kUnitH / kUnitW);
    QImage work(QSize(px, px), QImage::Format_ARGB32_Premultiplied);
    work.fill(Qt::transparent);
    QPainter p(&work);
    p.drawImage(QPointF((px - w) / 2.0, (px - h) / 2.0), pictogramLayer(QSize(w, h), main));
    p.end();
    QImage img = work.convertToFormat(QImage::Format_ARGB32);
    img.setDotsPerMeterX(kDotsPerMeter);
    img.setDotsPerMeterY(kDotsPerMeter);
    return img;
}

// The 16 colours of the classic VGA / Windows palette.
QVector<QRgb> vgaPalette() {
    return {qRgb(0x00, 0x00, 0x00), qRgb(0x80, 0x00, 0x00), qRgb(0x00, 0x80, 0x00), qRgb(0x80, 0x80, 0x00),
            qRgb(0x00, 0x00, 0x80), qRgb(0x80, 0x00, 0x80), qRgb(0x00, 0x80, 0x80), qRgb(0xc0, 0xc0, 0xc0),
            qRgb(0x80, 0x80, 0x80), qRgb(0xff, 0x00, 0x00), qRgb(0x00, 0xff, 0x00), qRgb(0xff, 0xff, 0x00),
            qRgb(0x00, 0x00, 0xff), qRgb(0xff, 0x00, 0xff), qRgb(0x00, 0xff, 0xff), qRgb(0xff, 0xff, 0xff)};
}

// Maps letters of the hand-drawn icon rows to palette colours.
QRgb iconInk(char c) {
    switch (c) {
    case 'K':
        return qRgb(0x00, 0x00, 0x00);
    case 'N':
        return qRgb(0x00, 0x00, 0x80);
    case 'T':
        return qRgb(0x00, 0x80, 0x80);
    case 'L':
        return qRgb(0xc0, 0xc0, 0xc0);
    case 'D':
        return qRgb(0x80, 0x80, 0x80);
    case 'C':
        return qRgb(0x00, 0xff, 0xff);
    case 'Y':
        return qRgb(0xff, 0xff, 0x00);
    case 'W':
        return qRgb(0xff, 0xff, 0xff);
    default:
        return qRgb(0x00, 0x00, 0xff); // '.', the blue ground
    }
}

// At 16 pixels smooth shapes blur into noise in 16 colours, so the small icon is placed pixel by pixel.
const char* const kIcon16[16] = {
    "NNNNNNNNNNNNNNNN", //
    "N...YYY.....W..N", //
    "N..Y.......WLW.N", //
    "N.Y..YY...WLLW.N", //
    "N.Y.Y....WLLLW.N", //
    "N.Y.Y.KKWLLLDW.N", //
    "N......WLLLDW..N", //
    "NKKKKKKKWLDW...N", //
    "NKCCCCTKWWW.D..N", //
    "NKCCCTTTK...D..N", //
    "NKCCTTTTK...D..N", //
    "NKCTTTTTK...D..N", //
    "NKKKKKKKK...D..N", //
    "N...DD.....DDD.N", //
    "N..DDDDDD......N", //
    "NNNNNNNNNNNNNNNN", //
};

QImage icon16() {
    QImage work(16, 16, QImage::Format_RGB32);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x)
            work.setPixel(x, y, iconInk(kIcon16[y][x]));
    }
    return work;
}

// The 32-pixel icon is drawn with crisp, unsmoothed shapes that land exactly on palette colours.
QImage icon32() {
    QImage work(32, 32, QImage::Format_RGB32);
    QPainter p(&work);
    p.fillRect(work.rect(), QColor(iconInk('N')));
    p.fillRect(work.rect().adjusted(1, 1, -1, -1), QColor(iconInk('.')));

    // Dish behind the monitor, facing up and to the left; mast and foot first.
    p.fillRect(QRect(24, 16, 2, 13), QColor(iconInk('D')));
    p.fillRect(QRect(21, 28, 8, 2), QColor(iconInk('D')));
    const QPointF dish(23.0, 14.0);
    p.save();
    p.translate(dish);
    p.rotate(-40);
    p.setPen(QColor(iconInk('K')));
    p.setBrush(QColor(iconInk('W')));
    p.drawEllipse(QRectF(-10, -3.5, 20, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(iconInk('L')));
    p.drawEllipse(QRectF(-8, -2.5, 16, 5.5));
    p.restore();
    const QPointF feed(18.0, 8.0);
    p.setPen(QColor(iconInk('K')));
    p.drawLine(dish, feed);
    p.fillRect(QRectF(feed.x() - 1, feed.y() - 1, 2, 2), QColor(iconInk('K')));
    // Waves leave the feed along the bowl's axis, towards the upper left.
    QPen wave(QColor(iconInk('Y')), 1.5);
    p.setPen(wave);
    p.setBrush(Qt::NoBrush);
    for (qreal r : {3.5, 6.5})
        p.drawArc(QRectF(feed.x() - r, feed.y() - r, 2 * r, 2 * r), 95 * 16, 80 * 16);

    // Monitor in front, lower left.
    p.fillRect(QRect(2, 13, 20, 14), QColor(iconInk('K')));
    p.fillRect(QRect(3, 14, 18, 12), QColor(iconInk('L')));
    p.fillRect(QRect(4, 15, 16, 8), QColor(iconInk('T')));
    QPolygon glare;
    glare << QPoint(4, 15) << QPoint(13, 15) << QPoint(4, 22);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(iconInk('C')));
    p.drawPolygon(glare);
    p.fillRect(QRect(3, 25, 18, 1), QColor(iconInk('D')));
    p.fillRect(QRect(18, 24, 1, 1), QColor(iconInk('Y')));
    p.fillRect(QRect(10, 27, 4, 1), QColor(iconInk('D')));
    p.fillRect(QRect(6, 28, 12, 2), QColor(iconInk('K')));
    p.fillRect(QRect(7, 28, 10, 1), QColor(iconInk('D')));
    p.end();
    return work;
}

// Pins an icon to the 16-colour palette; the pictures already use only its colours, so nothing is dithered.
QImage toSixteenColours(const QImage& img) {
    QImage out = img.convertToFormat(QImage::Format_Indexed8, vgaPalette(), Qt::ThresholdDither | Qt::AvoidDither);
    out.setDotsPerMeterX(kDotsPerMeter);
    out.setDotsPerMeterY(kDotsPerMeter);
    return out;
}

bool save(const QImage& img, const QString& path, const char* format) {
    if (!img.save(path, format)) {
        std::fprintf(stderr, "make_art: cannot write %s\n", qPrintable(QDir::toNativeSeparators(path)));
        return false;
    }
    std::printf("%s\n", qPrintable(QDir::toNativeSeparators(path)));
    return true;
}

} // namespace

// Writes the panel's banner into wizard/resources, the window's icons into
// app/resources and the desktop's icons into dist/icons below the given source folder.
int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_art SOURCE_DIR\n");
        return 2;
    }
    const QDir source(QString::fromLocal8Bit(argv[1]));
    const QDir wizard(source.filePath(QStringLiteral("wizard/resources")));
    const QDir app(source.filePath(QStringLiteral("app/resources")));
    const QDir theme(source.filePath(QStringLiteral("dist/icons")));
    for (const QDir& dir : {wizard, app, theme}) {
        if (!dir.exists() && !QDir().mkpath(dir.path())) {
            std::fprintf(stderr, "make_art: cannot create %s\n", qUtf8Printable(dir.path()));
            return 1;
        }
    }
    bool ok = save(banner(), wizard.filePath(QStringLiteral("banner.bmp")), "BMP");
    ok = save(toSixteenColours(icon32()), app.filePath(QStringLiteral("kelvane-32.png")), "PNG") && ok;
    ok = save(toSixteenColours(icon16()), app.filePath(QStringLiteral("kelvane-16.png")), "PNG") && ok;
    for (const int px : {48, 64, 128, 256}) {
        ok = save(themeIcon(px), theme.filePath(QStringLiteral("kelvane-%1.png").arg(px)), "PNG") && ok;
    }
    return ok ? 0 : 1;
}
