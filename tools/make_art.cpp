// Draws Kelvane's banner picture and window icons. The results are committed under app/resources, so this
// only runs on request (the `art` build target); it paints into QImages and never opens a window.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRadialGradient>
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
    QColor outline;      // transparent for none
    qreal outlineWidth;  // in units
    QColor bezel;        // monitor case and stand
    QColor screenTop;    // screen gradient
    QColor screenBottom;
    QColor dish;         // dish face, mast, arm
    QColor dishShade;    // inside of the bowl
    QColor signal;       // waves leaving the feed
};

QPainterPath roundedRect(const QRectF& r, qreal radius) {
    QPainterPath p;
    p.addRoundedRect(r, radius, radius);
    return p;
}

// Geometry of the dish, shared by its parts: an ellipse tilted to face up and right.
constexpr qreal kDishAngle = -38.0; // degrees, rotation of the rim ellipse
const QPointF kDishCentre(76.0, 27.0);
constexpr qreal kDishRx = 19.0;
constexpr qreal kDishRy = 7.5;

QPointF dishNormal() {
    // The bowl opens towards the rim's normal, pointing up and to the right.
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

    // Signal waves spreading from the feed, up and to the right.
    QPen wave(s.signal, 2.4);
    wave.setCapStyle(Qt::RoundCap);
    p.setPen(wave);
    p.setBrush(Qt::NoBrush);
    const qreal dir = kDishAngle; // waves centred on the bowl's axis
    for (int i = 0; i < 3; ++i) {
        const qreal r = 6.5 + i * 5.0;
        const QRectF box(feed.x() - r, feed.y() - r, 2 * r, 2 * r);
        // Qt angles run counter-clockwise in 1/16 degree; the axis points at dir - 90 on screen.
        const qreal mid = -(dir - 90.0);
        p.drawArc(box, int((mid - 28.0) * 16), int(56.0 * 16));
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

    // Case and screen.
    const QRectF bezel(0, 14, 60, 42);
    p.drawPath(roundedRect(bezel, 4.0));
    const QRectF screen = bezel.adjusted(4.0, 4.0, -4.0, -7.0);
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
    QImage img(size, QImage::Format_RGB888);
    img.setDotsPerMeterX(kDotsPerMeter);
    img.setDotsPerMeterY(kDotsPerMeter);

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

    // The larger, faded copy at the right, allowed to run off the top and bottom.
    {
        PictogramStyle ghost{QColor(Qt::transparent), 0,  QColor(255, 255, 255), QColor(255, 255, 255, 110),
                             QColor(255, 255, 255, 60),   QColor(255, 255, 255), QColor(255, 255, 255, 120),
                             QColor(255, 255, 255)};
        const QSize gs(136, 98);
        const QImage layer = pictogramLayer(gs, ghost);
        p.setOpacity(0.16);
        p.drawImage(QPointF(size.width() - gs.width() + 4, (size.height() - gs.height()) / 2.0 + 6), layer);
        p.setOpacity(1.0);
    }

    // The pictogram at the left, inside the part of the banner that the panel shows.
    {
        PictogramStyle main{QColor(0x1d, 0x4f, 0x9e), 1.6,           QColor(255, 255, 255),
                            QColor(0x6f, 0xae, 0xec), QColor(0x1f, 0x5c, 0xc0), QColor(255, 255, 255),
                            QColor(0xc9, 0xdc, 0xf3), QColor(0x1d, 0x4f, 0x9e)};
        const QSize ms(68, 49);
        const QPointF at(16, 12);
        PictogramStyle shadow{QColor(0, 0, 0), 1.6, QColor(0, 0, 0), QColor(0, 0, 0), QColor(0, 0, 0),
                              QColor(0, 0, 0), QColor(0, 0, 0),  QColor(Qt::transparent)};
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

    img = work.convertToFormat(QImage::Format_RGB888);
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

QImage icon(int px) {
    QImage work(px, px, QImage::Format_ARGB32_Premultiplied);
    work.fill(Qt::transparent);
    QPainter p(&work);
    p.fillRect(work.rect(), QColor(0x00, 0x00, 0x80));
    p.fillRect(work.rect().adjusted(1, 1, -1, -1), QColor(0x00, 0x00, 0xff));

    PictogramStyle s{QColor(0, 0, 0),       px >= 32 ? 2.6 : 4.0, QColor(0xc0, 0xc0, 0xc0),
                     QColor(0x00, 0xff, 0xff), QColor(0x00, 0x80, 0x80),  QColor(0xff, 0xff, 0xff),
                     QColor(0xc0, 0xc0, 0xc0), QColor(0xff, 0xff, 0x00)};
    const qreal w = px - 2.0;
    const qreal h = w * kUnitH / kUnitW;
    p.drawImage(QRectF(1, (px - h) / 2.0, w, h), pictogramLayer(QSize(int(w * 4), int(h * 4)), s));
    p.end();

    QImage out = work.convertToFormat(QImage::Format_Indexed8, vgaPalette(), Qt::ThresholdDither | Qt::AvoidDither);
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

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_art OUTPUT_DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "make_art: cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = save(banner(), dir.filePath(QStringLiteral("banner.bmp")), "BMP");
    ok = save(icon(32), dir.filePath(QStringLiteral("kelvane-32.png")), "PNG") && ok;
    ok = save(icon(16), dir.filePath(QStringLiteral("kelvane-16.png")), "PNG") && ok;
    return ok ? 0 : 1;
}
