#include "resources/art/painted_art.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QtMath>

namespace art {

namespace {

const int HORIZON = 402;
const QPointF MOON(548, 356);

// A fixed seed keeps every run of the generator byte-for-byte reproducible.
QRandomGenerator rng(0x5a17);

qreal uniform(qreal low, qreal high)
{
    return low + rng.generateDouble() * (high - low);
}

// A soft elliptic puff that fades to nothing at its edge.
void soft_ellipse(QPainter &p, const QPointF &centre, qreal half_width, qreal half_height,
                  const QColor &colour)
{
    p.save();
    p.translate(centre);
    p.scale(half_width / half_height, 1);
    QRadialGradient puff(QPointF(0, 0), half_height);
    puff.setColorAt(0, colour);
    QColor edge = colour;
    edge.setAlpha(0);
    puff.setColorAt(1, edge);
    p.setPen(Qt::NoPen);
    p.setBrush(puff);
    p.drawEllipse(QPointF(0, 0), half_height, half_height);
    p.restore();
}

void paint_sky_and_sea(QPainter &p)
{
    QLinearGradient sky(0, 0, 0, WINDOW_HEIGHT);
    sky.setStops({{0, QColor(0x03, 0x07, 0x10)},
                  {0.4, QColor(0x08, 0x1c, 0x2b)},
                  {qreal(HORIZON - 2) / WINDOW_HEIGHT, QColor(0x1c, 0x4c, 0x56)},
                  {qreal(HORIZON + 2) / WINDOW_HEIGHT, QColor(0x0c, 0x2a, 0x34)},
                  {1, QColor(0x03, 0x0b, 0x12)}});
    p.fillRect(0, 0, WINDOW_WIDTH, WINDOW_HEIGHT, sky);

    // A faint band of the galaxy across the upper sky, dusted with extra stars.
    p.save();
    p.translate(WINDOW_WIDTH / 2.0, 95);
    p.rotate(-11);
    for (int i = 0; i < 14; ++i)
        soft_ellipse(p, QPointF(uniform(-460, 460), uniform(-10, 10)), uniform(60, 140),
                     uniform(16, 30), QColor(0x8a, 0xa8, 0xb8, int(uniform(10, 24))));
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 260; ++i) {
        const qreal spread = (uniform(-1, 1) + uniform(-1, 1)) * 22;
        p.setBrush(QColor(235, 240, 255, int(uniform(30, 140))));
        p.drawEllipse(QPointF(uniform(-460, 460), spread), 0.5, 0.5);
    }
    p.restore();

    for (int i = 0; i < 170; ++i) {
        const QPointF at(uniform(0, WINDOW_WIDTH), uniform(0, HORIZON - 60) * uniform(0.3, 1));
        const qreal size = uniform(0.4, 1.3);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 248, 225, int(uniform(60, 230))));
        p.drawEllipse(at, size, size);
    }

    QRadialGradient halo(MOON, 150);
    halo.setStops({{0, QColor(255, 236, 180, 90)},
                   {0.25, QColor(200, 220, 200, 35)},
                   {1, QColor(0, 0, 0, 0)}});
    p.fillRect(0, 180, WINDOW_WIDTH, HORIZON - 180, halo);
    QRadialGradient moon(MOON + QPointF(-6, -6), 26);
    moon.setStops({{0, QColor(0xff, 0xf8, 0xde)}, {1, QColor(0xe8, 0xd3, 0x9a)}});
    p.setBrush(moon);
    p.drawEllipse(MOON, 22, 22);

    // Moonlit haze high up, and thin dark streaks drifting across the moon.
    for (int i = 0; i < 9; ++i)
        soft_ellipse(p, QPointF(uniform(0, WINDOW_WIDTH), uniform(20, 300)), uniform(120, 260),
                     uniform(14, 30), QColor(0x4a, 0x72, 0x80, int(uniform(18, 38))));
    for (int i = 0; i < 4; ++i)
        soft_ellipse(p, QPointF(MOON.x() + uniform(-60, 60), MOON.y() + uniform(-16, 14)),
                     uniform(70, 130), uniform(2.5, 4.5), QColor(0x06, 0x14, 0x1e, 190));

    QPainterPath hills(QPointF(0, HORIZON));
    for (int x = 0; x <= WINDOW_WIDTH; x += 6)
        hills.lineTo(x, HORIZON - 5 - 4 * qSin(x / 37.0) - 3 * qSin(x / 11.0));
    hills.lineTo(WINDOW_WIDTH, HORIZON + 1);
    hills.lineTo(0, HORIZON + 1);
    p.setBrush(QColor(0x06, 0x14, 0x1c));
    p.drawPath(hills);
}

void paint_lighthouse_and_water(QPainter &p)
{
    const qreal lx = 716, base = HORIZON - 5;
    QPainterPath tower;
    tower.moveTo(lx - 7, base);
    tower.lineTo(lx - 4, base - 44);
    tower.lineTo(lx + 4, base - 44);
    tower.lineTo(lx + 7, base);
    p.setBrush(QColor(0x05, 0x10, 0x16));
    p.drawPath(tower);
    QRadialGradient lamp(QPointF(lx, base - 49), 18);
    lamp.setStops({{0, QColor(255, 226, 140, 255)},
                   {0.3, QColor(255, 200, 90, 110)},
                   {1, QColor(255, 200, 90, 0)}});
    p.setBrush(lamp);
    p.drawEllipse(QPointF(lx, base - 49), 18, 18);
    QPainterPath ray(QPointF(lx, base - 49));
    ray.lineTo(lx - 230, base - 70);
    ray.lineTo(lx - 230, base - 40);
    ray.closeSubpath();
    QLinearGradient fade(lx, 0, lx - 230, 0);
    fade.setStops({{0, QColor(255, 220, 150, 50)}, {1, QColor(255, 220, 150, 0)}});
    p.setBrush(fade);
    p.drawPath(ray);

    // Moonlight and lamplight broken into short ripples on the water.
    soft_ellipse(p, QPointF(MOON.x(), HORIZON + 40), 34, 48, QColor(255, 236, 190, 40));
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 220; ++i) {
        const qreal depth = uniform(0, 1);
        const qreal y = HORIZON + 3 + depth * 88;
        const qreal spread = 8 + depth * 34;
        const bool lamp_ripple = i % 6 == 0;
        const qreal offset = (uniform(-1, 1) + uniform(-1, 1)) / 2 * spread;
        const qreal cx = (lamp_ripple ? lx : MOON.x()) + offset;
        const int alpha = int((1 - depth) * (1 - qAbs(offset) / spread) * 170) + 15;
        p.setBrush(lamp_ripple ? QColor(255, 200, 110, alpha) : QColor(255, 240, 205, alpha));
        const qreal length = uniform(3, 16) * (1 - depth * 0.4);
        p.drawRoundedRect(QRectF(cx - length / 2, y, length, 1), 0.5, 0.5);
    }
    for (int i = 0; i < 60; ++i) {
        const qreal length = uniform(10, 50);
        p.setBrush(QColor(0x6a, 0x9a, 0xa4, int(uniform(12, 35))));
        p.drawRect(QRectF(uniform(0, WINDOW_WIDTH), uniform(HORIZON + 4, 495), length, 1));
    }
}

void paint_reeds(QPainter &p)
{
    for (int i = 0; i < 260; ++i) {
        const qreal x = uniform(0, WINDOW_WIDTH);
        const qreal height = uniform(20, 75);
        const qreal lean = uniform(-9, 9);
        const QPointF base(x, 500), top(x + lean, 500 - height);
        QPainterPath stalk(base);
        stalk.quadTo(QPointF(x + lean * 0.2, 500 - height * 0.5), top);
        p.setPen(QPen(QColor(0x01, 0x05, 0x08, int(uniform(180, 255))), uniform(0.8, 1.8)));
        p.setBrush(Qt::NoBrush);
        p.drawPath(stalk);
        if (i % 7 == 0) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0x02, 0x06, 0x09));
            p.drawRoundedRect(QRectF(top.x() - 1.8, top.y() + 2, 3.6, 11), 1.8, 1.8);
        }
    }
}

void add_noise(QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int n = int(rng.bounded(9)) - 4;
            const QRgb c = line[x];
            line[x] = qRgba(qBound(0, qRed(c) + n, 255), qBound(0, qGreen(c) + n, 255),
                            qBound(0, qBlue(c) + n, 255), qAlpha(c));
        }
    }
}

// A dark glass pane with a double brass rim and gold diamonds at the corners.
void paint_framed_pane(QPainter &p, const QRectF &outer, qreal rim, int fill_alpha)
{
    for (int i = 1; i <= 6; ++i) { // soft drop shadow
        p.setPen(QPen(QColor(0, 0, 0, 26), 2 * i));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(outer.translated(0, 3), 10, 10);
    }
    QLinearGradient bronze(outer.topLeft(), outer.bottomLeft());
    bronze.setStops({{0, QColor(0x4a, 0x3a, 0x1c)},
                     {0.5, QColor(0x2a, 0x20, 0x0e)},
                     {1, QColor(0x3e, 0x30, 0x16)}});
    const QRectF inner = outer.adjusted(rim, rim, -rim, -rim);
    QPainterPath ring;
    ring.addRoundedRect(outer.adjusted(0.7, 0.7, -0.7, -0.7), 9, 9);
    QPainterPath opening;
    opening.addRoundedRect(inner, 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(bronze);
    p.drawPath(ring.subtracted(opening));
    p.setPen(QPen(GOLD, 1.4));
    p.setBrush(Qt::NoBrush);
    p.drawPath(ring);

    QLinearGradient glass(inner.topLeft(), inner.bottomLeft());
    glass.setStops(
        {{0, QColor(0x08, 0x1c, 0x26, fill_alpha)}, {1, QColor(0x02, 0x07, 0x0c, fill_alpha)}});
    p.setPen(Qt::NoPen);
    p.setBrush(glass);
    p.drawPath(opening);
    p.setPen(QPen(QColor(0xe6, 0xc8, 0x7e, 200), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(inner.adjusted(-1.5, -1.5, 1.5, 1.5), 5, 5);
    for (const QPointF &corner :
         {outer.topLeft(), outer.topRight(), outer.bottomLeft(), outer.bottomRight()})
        diamond(p,
                corner +
                    QPointF(corner.x() < outer.center().x() ? 4 : -4,
                            corner.y() < outer.center().y() ? 4 : -4),
                4);
}

void paint_news_plaque(QPainter &p)
{
    const QRectF plaque(NEWS_RECT.center().x() - 66, NEWS_RECT.top() - 23, 132, 21);
    QLinearGradient face(plaque.topLeft(), plaque.bottomLeft());
    face.setStops({{0, QColor(0x5a, 0x46, 0x20)}, {1, QColor(0x26, 0x1c, 0x0a)}});
    p.setPen(QPen(GOLD, 1.2));
    p.setBrush(face);
    p.drawRoundedRect(plaque, 4, 4);
    p.setFont(font(SERIF, 13, QFont::Bold, 2.5));
    shadowed_text(p, plaque.center(), QStringLiteral("NEWS"), GOLD_LIGHT);
}

void paint_logo(QPainter &p)
{
    draw_emblem(p, QRectF(420, 62, 76, 76));

    QPainterPath title;
    title.addText(0, 0, font(SERIF, 44, QFont::Bold, 1.5), QStringLiteral("SALTMARCH"));
    const QRectF box = title.boundingRect();
    const qreal scale = qMin(1.0, 252 / box.width());
    QTransform place;
    place.translate(506, 120);
    place.scale(scale, 1);
    place.translate(-box.left(), 0);
    title = place.map(title);

    const QRectF tb = title.boundingRect();
    for (int i = 5; i >= 1; --i) { // warm glow around the letters
        p.setPen(
            QPen(QColor(255, 190, 80, 14), 2 * i + 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(title);
    }
    p.setPen(QPen(QColor(0x1a, 0x0e, 0x02), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(title.translated(0, 2));
    QLinearGradient gilt(0, tb.top(), 0, tb.bottom());
    gilt.setStops({{0, QColor(0xff, 0xf4, 0xc8)},
                   {0.48, QColor(0xe8, 0xbd, 0x62)},
                   {0.52, QColor(0xc2, 0x8c, 0x34)},
                   {1, QColor(0x8a, 0x5c, 0x1c)}});
    p.setPen(QPen(QColor(0x3a, 0x24, 0x08), 1));
    p.setBrush(gilt);
    p.drawPath(title);

    p.setFont(font(SANS, 9, QFont::Bold, 3.2));
    const QString tagline = QStringLiteral("GATEWAY TO ORVEX");
    const QPointF centre(tb.center().x(), 134);
    shadowed_text(p, centre, tagline, GOLD);
    const qreal half = QFontMetricsF(p.font()).horizontalAdvance(tagline) / 2 + 8;
    p.setPen(QPen(BRASS, 1));
    p.drawLine(QPointF(tb.left(), 134), QPointF(centre.x() - half, 134));
    p.drawLine(QPointF(centre.x() + half, 134), QPointF(tb.right(), 134));
}

void paint_link_bar(QPainter &p)
{
    QLinearGradient bar(0, LINK_BAR_RECT.top(), 0, LINK_BAR_RECT.bottom());
    bar.setStops({{0, QColor(0x12, 0x26, 0x2e, 245)}, {1, QColor(0x03, 0x09, 0x0e, 245)}});
    p.setPen(QPen(BRASS, 1.2));
    p.setBrush(bar);
    p.drawRoundedRect(QRectF(LINK_BAR_RECT).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    p.setPen(QPen(QColor(0xf0, 0xd8, 0x90, 90), 1));
    p.drawLine(QPointF(LINK_BAR_RECT.left() + 12, LINK_BAR_RECT.top() + 2.5),
               QPointF(LINK_BAR_RECT.right() - 12, LINK_BAR_RECT.top() + 2.5));
    diamond(p, QPointF(LINK_BAR_RECT.left() + 8, LINK_BAR_RECT.center().y() + 0.5), 3.5);
    diamond(p, QPointF(LINK_BAR_RECT.right() - 8, LINK_BAR_RECT.center().y() + 0.5), 3.5);
}

} // namespace

QImage draw_background()
{
    QImage scene(WINDOW_WIDTH, WINDOW_HEIGHT, QImage::Format_ARGB32);
    {
        QPainter p(&scene);
        p.setRenderHint(QPainter::Antialiasing);
        paint_sky_and_sea(p);
        paint_lighthouse_and_water(p);
        paint_reeds(p);
        QRadialGradient vignette(QPointF(WINDOW_WIDTH / 2.0, WINDOW_HEIGHT / 2.0), 560);
        vignette.setStops({{0.45, QColor(0, 0, 0, 0)}, {1, QColor(0, 0, 0, 170)}});
        p.fillRect(scene.rect(), vignette);
    }
    add_noise(scene);
    {
        QPainter p(&scene);
        p.setRenderHint(QPainter::Antialiasing);
        paint_framed_pane(p, QRectF(NEWS_RECT).adjusted(-10, -10, 10, 10), 10, 215);
        paint_news_plaque(p);
        paint_framed_pane(p, LOGIN_PANEL_RECT, 3, 205);
        paint_logo(p);
        paint_link_bar(p);
    }

    // Cut the rounded outline and trace it with a brass rim.
    QImage window(WINDOW_WIDTH, WINDOW_HEIGHT, QImage::Format_ARGB32_Premultiplied);
    window.fill(Qt::transparent);
    QPainter p(&window);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(window.rect()), CORNER_RADIUS, CORNER_RADIUS);
    p.fillPath(outline, QBrush(scene));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(BRASS, 2));
    p.drawRoundedRect(QRectF(window.rect()).adjusted(1, 1, -1, -1), CORNER_RADIUS - 1,
                      CORNER_RADIUS - 1);
    p.setPen(QPen(QColor(0xf0, 0xd8, 0x90, 60), 1));
    p.drawRoundedRect(QRectF(window.rect()).adjusted(3.5, 3.5, -3.5, -3.5), CORNER_RADIUS - 3,
                      CORNER_RADIUS - 3);
    p.end();
    return window.convertToFormat(QImage::Format_ARGB32);
}

} // namespace art
