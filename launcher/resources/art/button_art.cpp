#include "resources/art/painted_art.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace art {

namespace {

// Top, bottom, rim and label colour of each state (normal, rollover, down, disabled),
// for the teal plates and for the gold play button.
const char *const PLATE_COLOURS[2][4][4] = {
    {{"#1c444e", "#0a222a", "#a8803c", "#d4aa55"},
     {"#2e6c78", "#123c46", "#f6df9a", "#fff6d8"},
     {"#041218", "#12303a", "#a8803c", "#b89858"},
     {"#283134", "#161c1e", "#4a4740", "#6e6a60"}},
    {{"#f4cc6a", "#a87222", "#5e441a", "#2a1602"},
     {"#ffeca8", "#e09c3a", "#f6df9a", "#3a1e00"},
     {"#8a5c1a", "#c48e3a", "#5e441a", "#241200"},
     {"#74787a", "#44484a", "#303234", "#a4a6a8"}},
};

QImage canvas(const QImage &backdrop)
{
    return backdrop.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

QImage plate_button(const QImage &backdrop, const QString &label, ButtonState state, bool gold)
{
    QImage image = canvas(backdrop);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const char *const *c = PLATE_COLOURS[gold][int(state)];
    const QRectF face = QRectF(image.rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = qMin(5.0, face.height() / 4);

    QLinearGradient fill(face.topLeft(), face.bottomLeft());
    fill.setStops({{0, QColor(c[0])}, {1, QColor(c[1])}});
    p.setPen(QPen(QColor(c[2]), 1));
    p.setBrush(fill);
    p.drawRoundedRect(face, radius, radius);

    // A top sheen on raised states, an inner shadow on the pressed one.
    const QRectF inner = face.adjusted(1, 1, -1, -1);
    if (state == ButtonState::Down) {
        p.setPen(QPen(QColor(0, 0, 0, 130), 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawLine(inner.topLeft() + QPointF(radius, 0.5),
                   inner.topRight() + QPointF(-radius, 0.5));
    } else if (state != ButtonState::Disabled) {
        QLinearGradient sheen(inner.topLeft(), inner.bottomLeft());
        sheen.setStops({{0, QColor(255, 255, 255, state == ButtonState::Rollover ? 90 : 55)},
                        {0.5, QColor(255, 255, 255, 0)}});
        p.setPen(Qt::NoPen);
        p.setBrush(sheen);
        p.drawRoundedRect(inner, radius - 1, radius - 1);
    }
    if (state == ButtonState::Rollover) {
        p.setPen(QPen(QColor(255, 230, 160, 110), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(inner, radius - 1, radius - 1);
    }

    const qreal size = gold ? face.height() * 0.52 : face.height() * 0.45;
    p.setFont(fitted_font(font(SANS, size, QFont::Bold, gold ? 2 : 0.8), label, face.width() - 10));
    const QPointF centre = face.center() + QPointF(0, state == ButtonState::Down ? 1 : 0);
    if (gold && state != ButtonState::Disabled) {
        // Engraved look: a light edge under dark lettering.
        shadowed_text(p, centre + QPointF(0, 1), label, QColor(255, 246, 210, 130), 0);
        shadowed_text(p, centre, label, QColor(c[3]), 0);
    } else {
        shadowed_text(p, centre, label, QColor(c[3]), 200);
    }
    p.end();
    return image;
}

QImage link_button(const QImage &backdrop, const QString &label, ButtonState state)
{
    QImage image = canvas(backdrop);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF face = QRectF(image.rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (state != ButtonState::Normal) {
        p.setPen(QPen(state == ButtonState::Down ? BRASS_DARK : QColor(0xd4, 0xaa, 0x55, 160), 1));
        p.setBrush(state == ButtonState::Down ? QColor(0, 0, 0, 120)
                                              : QColor(0xd4, 0xaa, 0x55, 60));
        p.drawRoundedRect(face, face.height() / 2, face.height() / 2);
    }
    const QColor text = state == ButtonState::Rollover ? QColor(0xff, 0xf2, 0xc4)
        : state == ButtonState::Down                   ? QColor(0xa8, 0x8a, 0x4c)
                                                       : QColor(0xd8, 0xc0, 0x84);
    p.setFont(
        fitted_font(font(SANS, face.height() * 0.6, QFont::Bold, 0.3), label, face.width() - 6));
    shadowed_text(p, face.center() + QPointF(0, state == ButtonState::Down ? 1 : 0), label, text);
    p.end();
    return image;
}

QImage control_button(int size, char glyph, ButtonState state)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF disc = QRectF(image.rect()).adjusted(1, 1, -1, -1);
    QColor top(0x1c, 0x44, 0x4e), bottom(0x06, 0x16, 0x1c), rim = BRASS, ink = GOLD;
    if (state == ButtonState::Rollover) {
        top = glyph == 'x' ? QColor(0xd0, 0x4a, 0x36) : QColor(0x38, 0x7e, 0x8a);
        bottom = glyph == 'x' ? QColor(0x6a, 0x14, 0x0c) : QColor(0x12, 0x3c, 0x46);
        rim = GOLD_LIGHT;
        ink = QColor(0xff, 0xf6, 0xe0);
    } else if (state == ButtonState::Down) {
        std::swap(top, bottom);
        rim = BRASS_DARK;
        ink = QColor(0xa0, 0x80, 0x40);
    }
    QLinearGradient fill(disc.topLeft(), disc.bottomLeft());
    fill.setStops({{0, top}, {1, bottom}});
    p.setPen(QPen(rim, 1.3));
    p.setBrush(fill);
    p.drawEllipse(disc);

    const QPointF c = disc.center() + QPointF(0, state == ButtonState::Down ? 0.8 : 0);
    const qreal arm = size * 0.2;
    QPainterPath mark;
    if (glyph == 'x') {
        mark.moveTo(c + QPointF(-arm, -arm));
        mark.lineTo(c + QPointF(arm, arm));
        mark.moveTo(c + QPointF(arm, -arm));
        mark.lineTo(c + QPointF(-arm, arm));
    } else {
        mark.moveTo(c + QPointF(-arm, arm * 0.8));
        mark.lineTo(c + QPointF(arm, arm * 0.8));
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 0, 150), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(mark.translated(0, 0.8));
    p.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(mark);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage field_captions(const QImage &backdrop, const QString &upper, const QString &lower,
                      int lower_centre_y)
{
    QImage image = canvas(backdrop);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setFont(fitted_font(font(SANS, 11, QFont::Bold), upper, image.width() - 2));
    const QFontMetricsF fm(p.font());
    const qreal right = image.width() - 1;
    const QColor caption(0xe8, 0xd2, 0x96);
    shadowed_text(p, QPointF(right - fm.horizontalAdvance(upper) / 2, 7.5), upper, caption);
    shadowed_text(p, QPointF(right - fm.horizontalAdvance(lower) / 2, lower_centre_y), lower,
                  caption);
    p.end();
    return image;
}

} // namespace art
