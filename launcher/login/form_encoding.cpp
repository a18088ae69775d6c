#include "login/form_encoding.h"

#include <QUrl>
#include <QUrlQuery>

namespace {

// QUrlQuery takes a "%XX" in its input as an escape that is already done and
// leaves "+" alone. Writing both as escapes first makes it keep them literally.
// It also renders a null value as a bare key; a non-null empty one keeps "=".
QString protect(QString text)
{
    if (text.isNull())
        return QStringLiteral("");
    text.replace(QLatin1Char('%'), QLatin1String("%25"));
    text.replace(QLatin1Char('+'), QLatin1String("%2B"));
    return text;
}

} // namespace

QByteArray encode_form(const QList<QPair<QString, QString>> &items)
{
    QUrlQuery query;
    for (const auto &item : items)
        query.addQueryItem(protect(item.first), protect(item.second));
    return query.toString(QUrl::FullyEncoded).toUtf8();
}
