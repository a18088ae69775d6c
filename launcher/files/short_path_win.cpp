#include "files/short_path.h"

#include <QDir>

#include <string>

#include <windows.h>

namespace short_path {

QString usable(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    if (native.size() < LIMIT)
        return native;
    // The long form goes in with the prefix that lifts the limit; the short
    // one comes back with it, which is taken off again.
    const QString prefix = QStringLiteral("\\\\?\\");
    const QString unc = QStringLiteral("\\\\?\\UNC\\");
    const std::wstring long_form = (native.startsWith(QLatin1String("\\\\"))
                                        ? unc + native.mid(2)
                                        : prefix + native)
                                       .toStdWString();
    std::wstring short_form(32768, L'\0');
    const DWORD length = GetShortPathNameW(long_form.c_str(), &short_form[0],
                                           DWORD(short_form.size()));
    if (length == 0 || length >= short_form.size())
        return native;
    QString result = QString::fromWCharArray(short_form.c_str(), int(length));
    if (result.startsWith(unc))
        result = QStringLiteral("\\\\") + result.mid(unc.size());
    else if (result.startsWith(prefix))
        result = result.mid(prefix.size());
    return result.size() < LIMIT ? result : native;
}

} // namespace short_path
