#include "patch_names.h"

#include "hash_text.h"
#include "patch_name.h"

#include <QHash>
#include <QQueue>

namespace {

// File systems allow 255 bytes per name; keep well below.
constexpr int MAX_NAME_BYTES = 200;
constexpr int SHORT_STEM_CHARS = 100;

QString flatten(const QString &key)
{
    QString out;
    out.reserve(key.size() + 8);
    for (const QChar c : key) {
        if (c == QLatin1Char('/'))
            out += QLatin1String("~_");
        else if (c == QLatin1Char('~'))
            out += QLatin1String("~~");
        else if (c == QLatin1Char('.') && out.endsWith(QLatin1Char('.')))
            out += QLatin1String("~d");
        else
            out += c;
    }
    return out;
}

} // namespace

QString patch_name_for(const QString &key, const QString &source_hash, const QString &result_hash)
{
    QString stem = flatten(key);
    if (PatchName::compose(stem, source_hash, result_hash).toUtf8().size() > MAX_NAME_BYTES) {
        stem.truncate(SHORT_STEM_CHARS);
        if (stem.endsWith(QLatin1Char('~')) || stem.endsWith(QLatin1Char('.')))
            stem.chop(1); // never cut an escape in half or leave a "." before "~"
        stem += QLatin1String("~h") + hash_text(key.toUtf8());
    }
    return PatchName::compose(stem, source_hash, result_hash);
}

QStringList patches_to_keep(const QStringList &earlier, const QStringList &added,
                            const QString &hash, int history)
{
    // Patches by result hash text, for a search backwards from `hash`.
    QMultiHash<QString, QString> sources_of;
    for (const QStringList *list : {&added, &earlier}) {
        for (const QString &name : *list) {
            PatchName parsed;
            if (PatchName::parse(name, parsed))
                sources_of.insert(parsed.result_hash, parsed.source_hash);
        }
    }
    // Fewest patches from each hash text to `hash`.
    QHash<QString, int> distance {{hash, 0}};
    QQueue<QString> queue {{hash}};
    while (!queue.isEmpty()) {
        const QString current = queue.dequeue();
        for (const QString &source : sources_of.values(current)) {
            if (!distance.contains(source)) {
                distance.insert(source, distance.value(current) + 1);
                queue.enqueue(source);
            }
        }
    }
    QStringList kept;
    for (const QString &name : earlier) {
        PatchName parsed;
        if (!PatchName::parse(name, parsed) || parsed.source_hash == hash || added.contains(name) ||
            kept.contains(name))
            continue;
        const auto reach = distance.constFind(parsed.result_hash);
        if (reach != distance.constEnd() && reach.value() + 1 <= history)
            kept.append(name);
    }
    return kept;
}
