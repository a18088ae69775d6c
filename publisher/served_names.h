#pragma once

#include <QString>

// Whether the nginx server block of the operator guide serves the archive of
// the release file `key`: it refuses only the publisher's own hidden names
// (its marker, lock files and staging folders), so a name beginning with a
// dot is served unless it looks like one of those.
bool served_by_documented_server(const QString &key);
