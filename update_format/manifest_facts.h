#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

// What a manifest states about its tree as a whole, inside the signed bytes,
// so that a signature binds them: the publish's place in the tree's history
// ("sequence", growing with every publish), the distribution the tree is for
// ("distribution") and, when set, the moment it stops counting ("expires",
// an RFC 3339 time in UTC). Launchers that do not know these members ignore
// them.
struct ManifestFacts
{
    // A whole number from 0 up; -1 when missing or anything else.
    qint64 sequence = -1;
    // "" when missing or no text.
    QString distribution;
    // Whether "expires" is there at all, and the time it names (invalid when
    // it does not read as one).
    bool has_expiry = false;
    QDateTime expires;

    // What keeps a launcher with a key from using a signed manifest, the
    // order of releases aside (that needs the launcher's own state).
    enum class Fault {
        None,
        LacksDigests, // a file entry without "sha256"
        LacksFacts, // no "sequence" or no "distribution"
        OtherDistribution, // not `distribution`, the one it was fetched for (case aside)
        Expired, // "expires" lies before `now`, or does not read as a time
    };

    static ManifestFacts read(const QJsonObject &manifest);
    static Fault fault_of(const QJsonObject &manifest, const QString &distribution,
                          const QDateTime &now);
    // Adds the members known here (a sequence from 0 up, a distribution, a
    // valid expiry) to manifest.
    void write(QJsonObject &manifest) const;
    // A time as "expires" gives it: UTC, whole seconds, "Z".
    static QString time_text(const QDateTime &time);
};
