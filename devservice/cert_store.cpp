#include "cert_store.h"

#include "certs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A server certificate is issued anew when it expires within this many days.
constexpr int RENEW_DAYS = 7;

bool read_file(const QString &path, std::string *out)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    *out = f.readAll().toStdString();
    return true;
}

bool write_file(const QString &path, const std::string &data, bool secret, QString *error)
{
    QSaveFile f(path);
    // QSaveFile writes a temporary file first; restrict it before any byte lands.
    if (!f.open(QIODevice::WriteOnly) ||
        (secret && !f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) ||
        f.write(data.data(), static_cast<qint64>(data.size())) !=
            static_cast<qint64>(data.size()) ||
        !f.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

} // namespace

bool prepare_certificates(const QString &state_dir, CertPaths *paths, QString *error)
{
    QDir dir(state_dir);
    if (!dir.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("cannot create the state folder %1").arg(state_dir);
        return false;
    }
    QFile::setPermissions(dir.absolutePath(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    paths->ca_cert = dir.absoluteFilePath(QStringLiteral("ca.pem"));
    paths->ca_key = dir.absoluteFilePath(QStringLiteral("ca.key"));
    paths->server_cert = dir.absoluteFilePath(QStringLiteral("server.pem"));
    paths->server_key = dir.absoluteFilePath(QStringLiteral("server.key"));

    std::string why;
    PemPair ca;
    const bool have_cert = QFileInfo::exists(paths->ca_cert);
    if (have_cert != QFileInfo::exists(paths->ca_key)) {
        *error = QStringLiteral("%1 holds only half of the CA (ca.pem, ca.key); delete the "
                                "folder to start over")
                     .arg(state_dir);
        return false;
    }
    if (have_cert) {
        if (!read_file(paths->ca_cert, &ca.cert) || !read_file(paths->ca_key, &ca.key)) {
            *error = QStringLiteral("cannot read the CA in %1").arg(state_dir);
            return false;
        }
    } else if (!make_development_ca(&ca, &why) || !write_file(paths->ca_key, ca.key, true, error) ||
               !write_file(paths->ca_cert, ca.cert, false, error)) {
        if (!why.empty())
            *error = QString::fromStdString(why);
        return false;
    }

    PemPair server;
    if (read_file(paths->server_cert, &server.cert) && read_file(paths->server_key, &server.key) &&
        certificate_valid_for_days(server.cert, RENEW_DAYS) &&
        certificate_signed_by(server.cert, ca.cert))
        return true;
    if (!make_server_certificate(ca, &server, &why)) {
        *error = QString::fromStdString(why);
        return false;
    }
    return write_file(paths->server_key, server.key, true, error) &&
        write_file(paths->server_cert, server.cert, false, error);
}
