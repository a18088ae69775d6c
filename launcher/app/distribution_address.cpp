#include "app/distribution_address.h"

#include "app/constants.h"

#include <algorithm>

namespace {

const int HOST_LABEL_MAX = 63;

bool is_label_character(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
        (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
        (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-');
}

} // namespace

bool is_plain_host_label(const QString &name)
{
    if (name.isEmpty() || name.size() > HOST_LABEL_MAX)
        return false;
    return std::all_of(name.cbegin(), name.cend(), is_label_character);
}

QUrl distribution_base(const QString &dist)
{
    if (!is_plain_host_label(dist))
        return QUrl();
    return QUrl(URL_DOWNLOAD_DIST.arg(dist), QUrl::TolerantMode);
}
