#pragma once

#include <QString>
#include <QUrl>

// Whether a distribution name may stand in a host name: a plain host label of
// 1 to 63 ASCII letters, digits and "-". The name comes from the account
// service's answer; a dot, "/", "@", ":" or "?" in it would move the
// distribution pattern to another host or path.
bool is_plain_host_label(const QString &name);

// The download base of the distribution `dist`: URL_DOWNLOAD_DIST with "%1"
// replaced by the name as received. Empty (no address at all) for a name that
// is not a plain host label, an empty one included.
QUrl distribution_base(const QString &dist);
