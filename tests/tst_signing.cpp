// Signed manifests from both ends: the publisher signs a tree, and
// `publisher --check --verify-key` and the updater accept its manifest only
// with a valid signature by a trusted key over the exact bytes.
#include "app/constants.h"
#include "updater/updater.h"
#include "updater/verify_cache.h"

#include "https_fixture.h"
#include "signing_keys.h"
#include "test_files.h"
#include "test_paths.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <functional>

namespace {

const QByteArray GAME = "#!/bin/sh\necho the game\n";
const QByteArray TABLE = QByteArray("table row\n").repeated(5000);

} // namespace

class TestSigning : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    HttpsFixture fixture;
    QString previous_dir;

    QString path(const QString &name) const { return dir.filePath(name); }
    QString tree(const QString &name) const { return path("trees/" + name); }
    QUrl base(const QString &name) const
    {
        return QUrl(fixture.base_url() + "/trees/" + name + "/");
    }

    int publisher(const QStringList &arguments, QByteArray *errors = nullptr)
    {
        QProcess process;
        process.start(bin_dir() + "/publisher", arguments);
        if (!process.waitForFinished(120000))
            return -1;
        if (errors)
            *errors = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    int publish(const QString &name, const QStringList &extra, QByteArray *errors = nullptr)
    {
        return publisher(QStringList {"--release", path("release"), "--out", tree(name),
                                      "--server-version", "5.0", "--launcher-version", "1.4.0",
                                      "--jobs", "2"} +
                             extra,
                         errors);
    }
    // A copy of the signed tree, changed by `change` in place.
    void derive(const QString &name, const std::function<void(const QString &)> &change)
    {
        QCOMPARE(QProcess::execute("cp", {"-r", tree("signed"), tree(name)}), 0);
        change(tree(name) + "/patcher.json");
    }

private slots:
    void initTestCase()
    {
        const TestKeyPair a = make_test_key_pair(), b = make_test_key_pair(),
                          ec = make_test_key_pair(true);
        QVERIFY(!a.public_pem.isEmpty() && !b.public_pem.isEmpty() && !ec.public_pem.isEmpty());
        QVERIFY(
            write_file(path("a.key"), a.private_pem) && write_file(path("a.pub"), a.public_pem) &&
            write_file(path("b.key"), b.private_pem) && write_file(path("b.pub"), b.public_pem) &&
            // Two keys during a rollover: the new one first, the old one still valid.
            write_file(path("ba.pub"), b.public_pem + a.public_pem) &&
            write_file(path("ec.key"), ec.private_pem) &&
            // One good key beside one of the wrong kind: the list is refused whole.
            write_file(path("a-ec.pub"), a.public_pem + ec.public_pem));
        QVERIFY(QDir().mkpath(path("release/data")) && QDir().mkpath(path("bare")) &&
                QDir().mkpath(path("trees")));
        QVERIFY(write_file(path("release/orvex.exe"), GAME) &&
                write_file(path("release/data/table.bin"), TABLE));
        // A release without folders: checking it creates none.
        QVERIFY(write_file(path("bare/readme.txt"), "read me"));

        QCOMPARE(publish("signed", {"--sign-key", path("a.key")}), 0);
        QCOMPARE(publish("other-key", {"--sign-key", path("b.key")}), 0);
        QCOMPARE(publish("unsigned", {}), 0);
        QCOMPARE(publisher({"--release", path("bare"), "--out", tree("bare"), "--server-version",
                            "5.0", "--launcher-version", "1.4.0", "--sign-key", path("a.key")}),
                 0);
        derive("changed", [](const QString &manifest) {
            // One byte: a launcher version that would bring the update prompt.
            QByteArray text = read_file(manifest);
            const int at = text.indexOf("1.4.0");
            QVERIFY(at > 0);
            text[at] = '9';
            QVERIFY(write_file(manifest, text));
        });
        derive("truncated", [](const QString &manifest) {
            QVERIFY(write_file(manifest + ".sig", read_file(manifest + ".sig").left(63)));
        });
        derive("hex text", [](const QString &manifest) {
            QVERIFY(write_file(manifest + ".sig", read_file(manifest + ".sig").toHex()));
        });
        derive("missing",
               [](const QString &manifest) { QVERIFY(QFile::remove(manifest + ".sig")); });

        QVERIFY(fixture.start());
        fixture.serve_directory("/trees/", path("trees"));
        previous_dir = QDir::currentPath();
    }

    void cleanupTestCase() { QDir::setCurrent(previous_dir); }

    void signature_is_raw_ed25519_over_the_manifest()
    {
        const QByteArray manifest = read_file(tree("signed") + "/patcher.json");
        const QByteArray signature = read_file(tree("signed") + "/patcher.json.sig");
        QCOMPARE(signature.size(), 64);
        QCOMPARE(signature, sign_ed25519(read_file(path("a.key")), manifest));
        QVERIFY(!QFile::exists(tree("unsigned") + "/patcher.json.sig"));
        // Operators check it with the standard tool.
        const QString openssl = QStandardPaths::findExecutable("openssl");
        if (openssl.isEmpty())
            QSKIP("no openssl program");
        QCOMPARE(QProcess::execute(openssl,
                                   {"pkeyutl", "-verify", "-pubin", "-inkey", path("a.pub"),
                                    "-rawin", "-in", tree("signed") + "/patcher.json", "-sigfile",
                                    tree("signed") + "/patcher.json.sig"}),
                 0);
    }

    void unusable_sign_key_publishes_nothing_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("missing file") << "none.key";
        QTest::newRow("public key") << "a.pub";
        QTest::newRow("not Ed25519") << "ec.key";
    }
    void unusable_sign_key_publishes_nothing()
    {
        QFETCH(QString, key);
        QByteArray errors;
        QCOMPARE(publish("refused", {"--sign-key", path(key)}, &errors), 1);
        QVERIFY2(errors.contains("signing key"), errors.constData());
        QVERIFY(!QFileInfo::exists(tree("refused")));
        QCOMPARE(QDir(path("trees"))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                     .filter("refused"),
                 QStringList());
    }

    void check_verifies_the_signature_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("status");
        QTest::newRow("signed") << "signed"
                                << "a.pub" << 0;
        QTest::newRow("old key during a rollover") << "signed"
                                                   << "ba.pub" << 0;
        QTest::newRow("new key during a rollover") << "other-key"
                                                   << "ba.pub" << 0;
        QTest::newRow("no key asked for") << "missing" << QString() << 0;
        QTest::newRow("changed after signing") << "changed"
                                               << "a.pub" << 1;
        QTest::newRow("another key") << "other-key"
                                     << "a.pub" << 1;
        QTest::newRow("truncated") << "truncated"
                                   << "a.pub" << 1;
        QTest::newRow("missing") << "missing"
                                 << "a.pub" << 1;
        QTest::newRow("hex text instead of raw bytes") << "hex text"
                                                       << "a.pub" << 1;
        QTest::newRow("unsigned") << "unsigned"
                                  << "a.pub" << 1;
        QTest::newRow("key list with a key of the wrong kind") << "signed"
                                                               << "a-ec.pub" << 1;
    }
    void check_verifies_the_signature()
    {
        QFETCH(QString, tree);
        QFETCH(QString, keys);
        QFETCH(int, status);
        QStringList arguments {"--check", this->tree(tree)};
        if (!keys.isEmpty())
            arguments << "--verify-key" << path(keys);
        QByteArray errors;
        QCOMPARE(publisher(arguments, &errors), status);
        if (status != 0)
            QVERIFY2(errors.contains("signature") || errors.contains("key"), errors.constData());
    }

    void updater_uses_only_signed_manifests_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("dist");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("signed") << "signed" << QString() << "a.pub" << true;
        QTest::newRow("signed with the new key of two")
            << "other-key" << QString() << "ba.pub" << true;
        QTest::newRow("signed distribution") << "bare"
                                             << "other-key"
                                             << "ba.pub" << true;
        QTest::newRow("changed after signing") << "changed" << QString() << "a.pub" << false;
        QTest::newRow("another key") << "other-key" << QString() << "a.pub" << false;
        QTest::newRow("truncated") << "truncated" << QString() << "a.pub" << false;
        QTest::newRow("hex text instead of raw bytes")
            << "hex text" << QString() << "a.pub" << false;
        QTest::newRow("missing (404)") << "missing" << QString() << "a.pub" << false;
        QTest::newRow("unsigned distribution") << "bare"
                                               << "unsigned"
                                               << "a.pub" << false;
        QTest::newRow("compiled-in keys that do not read")
            << "signed" << QString() << "a-ec.pub" << false;
    }
    void updater_uses_only_signed_manifests()
    {
        QFETCH(QString, tree);
        QFETCH(QString, dist);
        QFETCH(QString, keys);
        QFETCH(bool, accepted);
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        fixture.clear_requests();

        Updater updater(base(tree));
        updater.set_manifest_keys(read_file(path(keys)));
        updater.set_retry_delays({});
        QtConcurrent::run(&updater, &Updater::read_manifest, true, MANIFEST_NAME).waitForFinished();
        if (!dist.isEmpty())
            QtConcurrent::run(&updater, &Updater::read_extra_manifest, base(dist), MANIFEST_NAME)
                .waitForFinished();
        QSignalSpy errors(&updater, &Updater::download_error);
        QSignalSpy finished(&updater, &Updater::update_finished);
        updater.start_update();
        QVERIFY(!finished.isEmpty() || finished.wait(60000));
        QCOMPARE(finished.first().first().toBool(), accepted);
        QCOMPARE(updater.manifest_refused(), !accepted);

        QStringList fetched;
        for (const RecordedRequest &request : fixture.requests())
            fetched << QString::fromLatin1(request.path);
        if (accepted) {
            QCOMPARE(updater.get_launcher_version(), QString("1.4.0"));
            QCOMPARE(read_file("data/table.bin"), TABLE);
            QCOMPARE(read_file("orvex.exe"), GAME);
            QCOMPARE(fetched.filter(".sig").size(), dist.isEmpty() ? 1 : 2);
            return;
        }
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.first().at(0).toInt(), CODE_MANIFEST_SIGNATURE);
        QCOMPARE(errors.first().at(1).toString(), QString("Manifest signature is not valid"));
        if (dist.isEmpty()) {
            QCOMPARE(updater.get_launcher_version(), QString());
            QCOMPARE(updater.get_server_version(), QString());
            QCOMPARE(updater.get_exec_name(), GAME_EXECUTABLE);
        }
        // Nothing downloaded, nothing written: no folder of the manifest, no
        // scratch folder; a verification cache only from a signed main manifest.
        QCOMPARE(fetched.filter(".bz2"), QStringList());
        QStringList written =
            QDir(install.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        if (!dist.isEmpty())
            written.removeAll(VerifyCache::file_name());
        QCOMPARE(written, QStringList());
    }

    void updater_without_keys_never_asks_for_a_signature()
    {
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        fixture.clear_requests();
        Updater updater(base("signed"));
        updater.set_manifest_keys(QByteArray());
        QtConcurrent::run(&updater, &Updater::read_manifest, false, MANIFEST_NAME)
            .waitForFinished();
        QtConcurrent::run(&updater, &Updater::read_extra_manifest, base("unsigned"), MANIFEST_NAME)
            .waitForFinished();
        QCOMPARE(updater.get_launcher_version(), QString("1.4.0"));
        QVERIFY(!updater.manifest_refused());
        QStringList fetched;
        for (const RecordedRequest &request : fixture.requests())
            fetched << QString::fromLatin1(request.path);
        QCOMPARE(fetched,
                 QStringList({"/trees/signed/patcher.json", "/trees/unsigned/patcher.json"}));
    }
};

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
