// Draws every image of the launcher window into an assets folder and checks the
// sizes of what it wrote. Run with QT_QPA_PLATFORM=offscreen:
//   generate_art <assets dir> [--preview <out.png>]
// The preview composes the window at rest (background, every button face in its
// normal state, the two white login fields) above a sheet of button states.

#include "resources/art/painted_art.h"

#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QTextStream>

namespace {

enum class Kind { Plate, Gold, Link, Control };

// One button face: its image base name, the rectangle the window gives its image,
// its label and its look.
struct Face
{
    QString base;
    QRect rect;
    QString label;
    Kind kind;
};

const QList<Face> FACES = {
    {"CLOSE", {763, 20, 20, 20}, "x", Kind::Control},
    {"MINIMIZE", {739, 20, 20, 20}, "_", Kind::Control},
    {"HOME_PAGE", {40, 504, 117, 23}, "HOME PAGE", Kind::Plate},
    {"COMMUNITY", {160, 504, 117, 23}, "COMMUNITY", Kind::Plate},
    {"GUIDE", {280, 504, 117, 23}, "GUIDE", Kind::Plate},
    {"MANAGE", {400, 504, 117, 23}, "MANAGE ACCOUNT", Kind::Plate},
    {"RELEASE", {520, 504, 117, 23}, "RELEASE NOTES", Kind::Plate},
    {"REPORT_A_BUG", {640, 504, 117, 23}, "REPORT A BUG", Kind::Plate},
    {"OPTIONS", {631, 162, 117, 23}, "OPTIONS", Kind::Plate},
    {"CONTINUE", {520, 250, 117, 23}, "CONTINUE", Kind::Plate},
    {"PLAY", {662, 224, 82, 30}, "PLAY", Kind::Gold},
    {"FORGOT", {423, 257, 103, 17}, "FORGOT PASSWORD?", Kind::Link},
    {"CREATE", {535, 258, 92, 15}, "CREATE ACCOUNT", Kind::Link},
};

// The caption label is 90x50 at (414, 212); the style sheet draws the 84x31 image
// unscaled and centred in it, so the image lands at (417, 222).
const QRect CAPTIONS_RECT(417, 222, 84, 31);
const QRect USERNAME_RECT(506, 222, 150, 15);
const QRect PASSWORD_RECT(506, 242, 150, 15);
const QList<int> ICON_SIZES = {16, 24, 32, 48, 64, 256};
const char *STATE_SUFFIX[] = {"_NORMAL", "_ROLLOVER", "_DOWN"};
// Buttons the window disables at times get a fourth, dimmed face.
const QStringList DISABLED_FACES = {"PLAY", "OPTIONS"};

const Face &find_face(const QString &base)
{
    return *std::find_if(FACES.begin(), FACES.end(), [&](const Face &f) { return f.base == base; });
}

QString extension(const Face &face)
{
    return face.kind == Kind::Control ? ".png" : ".jpg";
}

QImage draw_face(const Face &face, const QImage &background, art::ButtonState state)
{
    const QImage backdrop = background.copy(face.rect);
    switch (face.kind) {
    case Kind::Control:
        return art::control_button(face.rect.width(), face.label.at(0).toLatin1(), state);
    case Kind::Link:
        return art::link_button(backdrop, face.label, state);
    default:
        return art::plate_button(backdrop, face.label, state, face.kind == Kind::Gold);
    }
}

bool save(const QImage &image, const QString &path)
{
    const bool jpeg = path.endsWith(".jpg");
    const QImage out = jpeg ? image.convertToFormat(QImage::Format_RGB32) : image;
    if (out.save(path, jpeg ? "JPG" : "PNG", jpeg ? 95 : -1))
        return true;
    QTextStream(stderr) << "cannot write " << path << "\n";
    return false;
}

// Every file and the size it must have; the icon is checked image by image.
QList<QPair<QString, QSize>> expected_files()
{
    QList<QPair<QString, QSize>> files = {{"BACKGROUND.png", {806, 560}},
                                          {"account_name.jpg", CAPTIONS_RECT.size()}};
    for (const QString &base : DISABLED_FACES)
        files.append({base + "_DISABLED.jpg", find_face(base).rect.size()});
    for (const Face &face : FACES)
        for (const char *suffix : STATE_SUFFIX)
            files.append({face.base + suffix + extension(face), face.rect.size()});
    return files;
}

bool check_sizes(const QDir &dir)
{
    bool ok = true;
    for (const auto &file : expected_files()) {
        const QSize size = QImageReader(dir.filePath(file.first)).size();
        if (size != file.second) {
            QTextStream(stderr) << file.first << ": size " << size.width() << "x" << size.height()
                                << ", expected " << file.second.width() << "x"
                                << file.second.height() << "\n";
            ok = false;
        }
    }
    QImageReader icon(dir.filePath("ICON.ico"));
    QList<int> sizes;
    for (int i = 0; i < icon.imageCount(); ++i) {
        icon.jumpToImage(i);
        sizes.append(icon.read().width());
    }
    if (sizes != ICON_SIZES) {
        QTextStream(stderr) << "ICON.ico: " << sizes.size() << " readable images, expected "
                            << ICON_SIZES.size() << "\n";
        ok = false;
    }
    return ok;
}

bool generate(const QDir &dir)
{
    const QImage background = art::draw_background();
    bool ok = save(background, dir.filePath("BACKGROUND.png"));
    const art::ButtonState states[] = {art::ButtonState::Normal, art::ButtonState::Rollover,
                                       art::ButtonState::Down};
    for (const Face &face : FACES)
        for (int s = 0; s < 3; ++s)
            ok &= save(draw_face(face, background, states[s]),
                       dir.filePath(face.base + STATE_SUFFIX[s] + extension(face)));
    for (const QString &base : DISABLED_FACES)
        ok &= save(draw_face(find_face(base), background, art::ButtonState::Disabled),
                   dir.filePath(base + "_DISABLED.jpg"));
    // The password field's middle is row 27 of the caption image.
    ok &= save(art::field_captions(background.copy(CAPTIONS_RECT), "Account Name", "Password",
                                   PASSWORD_RECT.center().y() - CAPTIONS_RECT.top()),
               dir.filePath("account_name.jpg"));
    QList<QImage> icons;
    for (int size : ICON_SIZES)
        icons.append(art::emblem_image(size));
    if (!art::write_ico(dir.filePath("ICON.ico"), icons)) {
        QTextStream(stderr) << "cannot write ICON.ico\n";
        ok = false;
    }
    return ok;
}

void draw_window_preview(QPainter &p, const QDir &dir)
{
    p.drawImage(0, 0, QImage(dir.filePath("BACKGROUND.png")));
    for (const Face &face : FACES)
        if (face.base != "CONTINUE") // shown only on the options panel
            p.drawImage(face.rect.topLeft(),
                        QImage(dir.filePath(face.base + "_NORMAL" + extension(face))));
    p.drawImage(CAPTIONS_RECT.topLeft(), QImage(dir.filePath("account_name.jpg")));
    p.fillRect(USERNAME_RECT, Qt::white);
    p.fillRect(PASSWORD_RECT, Qt::white);
    p.setFont(QFont("Liberation Sans", 10, QFont::Bold));
    p.setPen(QColor(255, 255, 204));
    p.drawText(QRect(406, 187, 345, 48), Qt::AlignHCenter | Qt::AlignTop, "Login");
    p.setPen(Qt::white);
    p.drawText(QRect(584, 42, 175, 20), Qt::AlignRight | Qt::AlignTop, "Getting Version Info...");
}

// Rows of faces at double size: normal, rollover, down (and disabled for play and options).
void draw_state_sheet(QPainter &p, const QDir &dir, int top)
{
    int y = top + 10;
    for (const QString &base :
         QStringList {"HOME_PAGE", "OPTIONS", "PLAY", "FORGOT", "CREATE", "CLOSE"}) {
        const Face &face = find_face(base);
        QStringList files;
        for (const char *suffix : STATE_SUFFIX)
            files.append(base + suffix + extension(face));
        if (DISABLED_FACES.contains(base))
            files.append(base + "_DISABLED.jpg");
        if (base == "CLOSE")
            for (const char *suffix : STATE_SUFFIX)
                files.append(QString("MINIMIZE") + suffix + ".png");
        int x = 10;
        for (const QString &file : files) {
            const QImage image(dir.filePath(file));
            p.drawImage(QRect(QPoint(x, y), image.size() * 2), image);
            x += image.width() * 2 + 12;
        }
        y += face.rect.height() * 2 + 10;
    }
}

bool write_preview(const QDir &dir, const QString &path)
{
    QImage canvas(806, 560 + 330, QImage::Format_ARGB32);
    canvas.fill(QColor(0x80, 0x80, 0x80));
    QPainter p(&canvas);
    draw_window_preview(p, dir);
    draw_state_sheet(p, dir, 560);
    p.end();
    return save(canvas, path);
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 && !(args.size() == 4 && args.at(2) == "--preview")) {
        QTextStream(stderr) << "usage: generate_art <assets dir> [--preview <out.png>]\n";
        return 2;
    }
    QDir dir(args.at(1));
    if (!dir.mkpath(".") || !generate(dir) || !check_sizes(dir))
        return 1;
    if (args.size() == 4 && !write_preview(dir, args.at(3)))
        return 1;
    return 0;
}
