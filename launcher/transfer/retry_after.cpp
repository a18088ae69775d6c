#include "transfer/retry_after.h"

#include "app/constants.h"

#include <QLocale>

namespace retry_after {

int delay_ms(const QByteArray &header, const QDateTime &now)
{
    const QByteArray text = header.trimmed();
    if (text.isEmpty())
        return -1;
    bool number = false;
    const qint64 seconds = text.toLongLong(&number);
    qint64 ms = -1;
    if (number) {
        ms = seconds < 0 ? -1 : qMin<qint64>(seconds, NETWORK_RETRY_AFTER_MAX_MS / 1000) * 1000;
    } else {
        // Day and month names are English whatever the player's locale.
        QDateTime when = QLocale::c().toDateTime(QString::fromLatin1(text),
                                                 QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
        if (when.isValid()) {
            when.setTimeSpec(Qt::UTC);
            ms = qMax<qint64>(now.msecsTo(when), 0);
        }
    }
    return ms < 0 ? -1 : int(qMin<qint64>(ms, NETWORK_RETRY_AFTER_MAX_MS));
}

} // namespace retry_after
