#include "resources/art/painted_art.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace art {

QFont font(const QString &family, qreal pixel_size, int weight, qreal spacing)
{
    QFont f(family);
    f.setPixelSize(qRound(pixel_size));
    f.setWeight(weight);
    f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

QFont fitted_font(QFont f, const QString &text, qreal width)
{
    while (f.pixelSize() > 6 && QFontMetricsF(f).horizontalAdvance(text) > width) {
        if (f.letterSpacing() > 0)
            f.setLetterSpacing(QFont::AbsoluteSpacing, qMax(0.0, f.letterSpacing() - 0.5));
        else
            f.setPixelSize(f.pixelSize() - 1);
    }
    return f;
}

void shadowed_text(QPainter &p, const QPointF &centre, const QString &text, const QColor &colour,
                   int shadow_alpha)
{
    const QFontMetricsF fm(p.font());
    // Letter spacing adds a trailing gap after the last glyph; leave it out when centring.
    const qreal width = fm.horizontalAdvance(text) - p.font().letterSpacing();
    const QPointF origin(centre.x() - width / 2, centre.y() + fm.capHeight() / 2);
    if (shadow_alpha > 0) {
        p.setPen(QColor(0, 0, 0, shadow_alpha));
        p.drawText(origin + QPointF(0, 1), text);
    }
    p.setPen(colour);
    p.drawText(origin, text);
}

void diamond(QPainter &p, const QPointF &centre, qreal half)
{
    QPainterPath path;
    path.moveTo(centre.x(), centre.y() - half);
    path.lineTo(centre.x() + half, centre.y());
    path.lineTo(centre.x(), centre.y() + half);
    path.lineTo(centre.x() - half, centre.y());
    path.closeSubpath();
    p.save();
    p.setPen(QPen(BRASS_DARK, 1));
    p.setBrush(GOLD);
    p.drawPath(path);
    p.restore();
}

} // namespace art
