#include "manifest_facts.h"

#include "manifest_entry.h"
#include "update_layout.h"

#include <QJsonValue>

#include <cmath>

namespace {

// Numbers beyond this are not whole numbers a double holds exactly.
constexpr double LARGEST_NUMBER = 9007199254740992.0;

} // namespace

ManifestFacts ManifestFacts::read(const QJsonObject &manifest)
{
    ManifestFacts facts;
    const QJsonValue sequence = manifest.value(update_layout::key_sequence());
    const double number = sequence.toDouble(-1);
    if (sequence.isDouble() && number >= 0 && number < LARGEST_NUMBER &&
        number == std::floor(number))
        facts.sequence = qint64(number);
    facts.distribution = manifest.value(update_layout::key_distribution()).toString();
    const QJsonValue expires = manifest.value(update_layout::key_expires());
    facts.has_expiry = !expires.isUndefined();
    if (expires.isString())
        facts.expires = QDateTime::fromString(expires.toString(), Qt::ISODate);
    return facts;
}

ManifestFacts::Fault ManifestFacts::fault_of(const QJsonObject &manifest,
                                             const QString &distribution, const QDateTime &now)
{
    const QJsonObject files = manifest.value(update_layout::key_files()).toObject();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (ManifestEntry::read(it.value()).sha256.isEmpty())
            return Fault::LacksDigests;
    }
    const ManifestFacts facts = read(manifest);
    if (facts.sequence < 0 || facts.distribution.isEmpty())
        return Fault::LacksFacts;
    // A distribution names a host label, which has no case.
    if (facts.distribution.compare(distribution, Qt::CaseInsensitive) != 0)
        return Fault::OtherDistribution;
    if (facts.has_expiry && !(facts.expires.isValid() && now < facts.expires))
        return Fault::Expired;
    return Fault::None;
}

void ManifestFacts::write(QJsonObject &manifest) const
{
    if (sequence >= 0)
        manifest.insert(update_layout::key_sequence(), double(sequence));
    if (!distribution.isEmpty())
        manifest.insert(update_layout::key_distribution(), distribution);
    if (expires.isValid())
        manifest.insert(update_layout::key_expires(), time_text(expires));
}

QString ManifestFacts::time_text(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}
