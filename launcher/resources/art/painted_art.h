#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

class QPainter;

// The launcher's painted art: palette, text helpers and one drawing function per
// kind of image. Everything is drawn with QPainter; nothing is loaded from disk.
namespace art {

const QColor GOLD_LIGHT(0xf6, 0xdf, 0x9a);
const QColor GOLD(0xd4, 0xaa, 0x55);
const QColor BRASS(0xa8, 0x80, 0x3c);
const QColor BRASS_DARK(0x5e, 0x44, 0x1a);
const QString SANS = QStringLiteral("Liberation Sans");
const QString SERIF = QStringLiteral("Liberation Serif");

const int WINDOW_WIDTH = 806;
const int WINDOW_HEIGHT = 560;
const int CORNER_RADIUS = 25;
// Where the window places the widgets that the background frames.
const QRect NEWS_RECT(54, 130, 310, 341);
const QRect LOGIN_PANEL_RECT(398, 150, 364, 146);
const QRect LINK_BAR_RECT(24, 495, 758, 41);

enum class ButtonState { Normal, Rollover, Down, Disabled };

QFont font(const QString &family, qreal pixel_size, int weight, qreal spacing = 0);
// Shrinks the font until `text` fits into `width` pixels.
QFont fitted_font(QFont font, const QString &text, qreal width);
// Draws `text` centred on `centre`, with a one-pixel dark drop shadow when shadow_alpha > 0.
void shadowed_text(QPainter &p, const QPointF &centre, const QString &text, const QColor &colour,
                   int shadow_alpha = 170);
// A small gold diamond, the ornament of frames and panels.
void diamond(QPainter &p, const QPointF &centre, qreal half);

// The whole window picture: night sky over a salt marsh, the framed news panel, the
// login panel, the logo and the link bar, with transparent rounded corners.
QImage draw_background();

// A bevelled plate with a centred label over `backdrop` (the part of the background
// the button covers, so the opaque face blends in). `gold` is the play button's look.
QImage plate_button(const QImage &backdrop, const QString &label, ButtonState state, bool gold);
// A text link: the label alone at rest, on a faint pill when hovered or pressed.
QImage link_button(const QImage &backdrop, const QString &label, ButtonState state);
// A round window control on a transparent ground: glyph 'x' closes, '_' minimises.
QImage control_button(int size, char glyph, ButtonState state);
// The two right-aligned captions left of the login fields.
QImage field_captions(const QImage &backdrop, const QString &upper, const QString &lower,
                      int lower_centre_y);

// The emblem, a brass medallion with a crescent moon over marsh water and reeds;
// small renderings leave out the reeds so the shape stays legible.
void draw_emblem(QPainter &p, const QRectF &rect);
QImage emblem_image(int size);
// Writes an icon container with every image PNG-compressed (valid up to 256 pixels).
bool write_ico(const QString &path, const QList<QImage> &images);

} // namespace art
