#include "out_folder.h"

#include "update_layout.h"

#include "tree_check.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

const char MARKER_TEXT[] = "This folder is a download tree made by the Orvex publisher, which "
                           "replaces it whole on each run.\n";

// The absolute path with every link resolved; for a path that does not exist
// (yet), its nearest existing folder is resolved and the rest appended.
QString resolved(const QString &path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    while (!QFileInfo::exists(existing) && existing != QLatin1String("/")) {
        rest = QLatin1Char('/') + QFileInfo(existing).fileName() + rest;
        existing = QFileInfo(existing).absolutePath();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

bool lies_inside(const QString &inner, const QString &outer)
{
    return inner.startsWith(outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/'));
}

// Why out must not be written because of the folder at other ("" if it may).
QString overlap(const QString &out, const QString &other, const QString &what, bool may_equal)
{
    const QString resolved_other = resolved(other);
    if (out == resolved_other && !may_equal)
        return QStringLiteral("--out %1 is %2").arg(out, what);
    if (lies_inside(out, resolved_other))
        return QStringLiteral("--out %1 lies inside %2 %3").arg(out, what, other);
    if (lies_inside(resolved_other, out))
        return QStringLiteral("--out %1 contains %2 %3").arg(out, what, other);
    return QString();
}

} // namespace

QString published_marker_name()
{
    return QStringLiteral(".orvex-published");
}

bool write_published_marker(const QString &tree, QString *error)
{
    QFile marker(tree + QLatin1Char('/') + published_marker_name());
    const qint64 size = qint64(sizeof MARKER_TEXT) - 1;
    if (marker.open(QIODevice::WriteOnly) && marker.write(MARKER_TEXT, size) == size &&
        marker.flush())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(marker.fileName(), marker.errorString());
    return false;
}

QString out_folder_refusal(const PublishOptions &options, const QList<PreviousVersion> &previous)
{
    const QString out = resolved(options.out_dir);
    QString reason = overlap(out, options.release_dir, QStringLiteral("the release folder"), false);
    for (int i = 0; reason.isEmpty() && i < options.previous.size(); ++i)
        reason = overlap(out, options.previous[i], QStringLiteral("the earlier version"), true);
    if (!reason.isEmpty())
        return reason + QStringLiteral(": it is replaced whole, so nothing was published");

    const QFileInfo info(out);
    if (!info.exists())
        return QString();
    if (!info.isDir())
        return QStringLiteral("--out %1 is not a folder").arg(out);
    const QDir dir(out);
    if (dir.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        return QString();
    const QString manifest = out + QLatin1Char('/') + update_layout::manifest_file();
    bool published = QFileInfo(manifest).isFile() &&
        QFileInfo(out + QLatin1Char('/') + published_marker_name()).isFile();
    if (!published && QFileInfo(manifest).isFile()) {
        std::fprintf(stderr, "publisher: %s has no marker of a published tree; checking it\n",
                     qPrintable(out));
        published = check_tree(out, options.jobs) == 0;
    }
    if (!published)
        return QStringLiteral("--out %1 is neither empty nor a tree the publisher made, and the "
                              "publisher replaces it whole: give a new or empty folder")
            .arg(out);
    if (!options.new_history && (previous.isEmpty() || !previous.first().is_output()))
        return QStringLiteral("--out %1 holds a published tree whose patches would be dropped: "
                              "give it (or the tree it was published from) as the first "
                              "--previous to keep its patch history, or --new-history to start "
                              "a new one")
            .arg(out);
    return QString();
}
