#include "served_names.h"

#include "update_layout.h"

#include <QRegularExpression>

bool served_by_documented_server(const QString &key)
{
    // The same patterns as the guide's hidden-name locations, on the path
    // the launcher asks for.
    static const QRegularExpression hidden[] = {
        QRegularExpression(QStringLiteral("/\\.orvex-published$")),
        QRegularExpression(QStringLiteral("/\\.[^/]+\\.(publish-lock$|staging-)"))};
    const QString path = QLatin1Char('/') + key + update_layout::archive_suffix();
    for (const QRegularExpression &pattern : hidden) {
        if (pattern.match(path).hasMatch())
            return false;
    }
    return true;
}
