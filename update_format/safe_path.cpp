#include "safe_path.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace safe_path {

namespace {

bool has_forbidden_character(const QString &text)
{
    return text.contains(QChar(0)) || text.contains(QLatin1Char('\\')) ||
        text.contains(QLatin1Char(':'));
}

bool is_inside(const QString &canonical_root, const QString &canonical_path)
{
    if (canonical_path == canonical_root)
        return true;
    const QString prefix = canonical_root.endsWith(QLatin1Char('/'))
        ? canonical_root
        : canonical_root + QLatin1Char('/');
    return canonical_path.startsWith(prefix);
}

} // namespace

bool is_relative_path(const QString &path)
{
    if (path.isEmpty())
        return false;
    // One pass: each segment ends at a "/" or at the end; a leading "/"
    // shows up as an empty first segment.
    const QChar *const text = path.constData();
    const int size = path.size();
    int segment_start = 0;
    for (int i = 0; i <= size; ++i) {
        const ushort c = i < size ? text[i].unicode() : ushort('/');
        if (c == 0 || c == '\\' || c == ':')
            return false;
        if (c != '/')
            continue;
        const int length = i - segment_start;
        if (length == 0 ||
            (length == 2 && text[segment_start] == QLatin1Char('.') &&
             text[segment_start + 1] == QLatin1Char('.')))
            return false;
        segment_start = i + 1;
    }
    return true;
}

bool is_plain_file_name(const QString &name)
{
    return !name.isEmpty() && !has_forbidden_character(name) && !name.contains(QLatin1Char('/')) &&
        !name.contains(QLatin1String(".."));
}

static bool stays_inside_canonical(const QString &canonical_root, const QString &relative)
{
    if (canonical_root.isEmpty())
        return false;
    // Walk the segments from the root; once one does not exist, nothing below
    // it can be a link, and the lexical rules keep the rest inside.
    QString current = canonical_root;
    const QStringList segments = relative.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment == QLatin1String("."))
            continue;
        const QString next = current + QLatin1Char('/') + segment;
        const QFileInfo info(next);
        if (info.isSymLink()) {
            const QString target = info.canonicalFilePath();
            if (target.isEmpty() || !is_inside(canonical_root, target))
                return false;
            current = target;
        } else if (!info.exists()) {
            return true;
        } else {
            current = next;
        }
    }
    return true;
}

bool stays_inside(const QDir &root, const QString &relative)
{
    return stays_inside_canonical(root.canonicalPath(), relative);
}

bool is_safe_inside(const QDir &root, const QString &relative)
{
    return is_relative_path(relative) && stays_inside(root, relative);
}

QString windows_name_fault(const QString &segment)
{
    if (segment.contains(QLatin1Char(':')))
        return QStringLiteral("contains a colon");
    if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
        return QStringLiteral("ends with a dot or a space, which Windows drops");
    // The device part ends at the first dot; spaces before it do not count.
    QString stem = segment.section(QLatin1Char('.'), 0, 0);
    while (stem.endsWith(QLatin1Char(' ')))
        stem.chop(1);
    stem = stem.toUpper();
    static const QStringList plain = {QStringLiteral("CON"), QStringLiteral("PRN"),
                                      QStringLiteral("AUX"), QStringLiteral("NUL"),
                                      QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    // COM and LPT with a digit 1-9, or the superscript 1, 2 or 3 that
    // Windows takes for the same device.
    const auto numbered = [&stem] {
        if (stem.size() != 4 || !(stem.startsWith(QLatin1String("COM")) ||
                                  stem.startsWith(QLatin1String("LPT"))))
            return false;
        const ushort digit = stem.at(3).unicode();
        return (digit >= '1' && digit <= '9') || digit == 0xb9 || digit == 0xb2 || digit == 0xb3;
    };
    if (plain.contains(stem) || numbered())
        return QStringLiteral("is a Windows device name");
    return QString();
}

QString windows_unsafe_segment(const QString &path)
{
    for (const QString &segment : path.split(QLatin1Char('/'))) {
        if (!windows_name_fault(segment).isEmpty())
            return segment;
    }
    return QString();
}

QString normalised_folder(const QString &path)
{
    // Most folders are already in this form: they come back as they are.
    if (!path.contains(QLatin1Char('\\')) && !path.contains(QLatin1String("//")) &&
        !path.endsWith(QLatin1Char('/')))
        return path;
    QString result = path;
    result.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString doubled(2, QLatin1Char('/'));
    while (result.contains(doubled))
        result.replace(doubled, QStringLiteral("/"));
    // "/" alone turns into "", which is_relative_path refuses.
    if (result.endsWith(QLatin1Char('/')))
        result.chop(1);
    return result;
}

} // namespace safe_path
