// Signed manifests from both ends: the publisher signs a tree, and
// `publisher --check --verify-key` and the updater accept its manifest only
// with a valid signature by a trusted key over the exact bytes, and the
// updater only when what it says about the tree (whole digests, sequence,
// distribution, expiry) fits the game folder.
#include "app/constants.h"
#include "updater/updater.h"
#include "updater/file_hasher.h"
#include "updater/release_order.h"
#include "updater/verify_cache.h"

#include "bz2_util.h"
#include "patch_format.h"
#include "patch_name.h"

#include "https_fixture.h"
#include "signing_keys.h"
#include "test_files.h"
#include "test_paths.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>

namespace {

const QByteArray GAME = "#!/bin/sh\necho the game\n";
const QByteArray TABLE = QByteArray("table row\n").repeated(5000);

// Two files of 64 bytes whose SHA-256 digests share their first 7 hex
// digits (e0affd5), found once by a birthday search over the counter.
QByteArray colliding(int counter)
{
    return (QByteArray("orvex colliding test file, number ") +
            QByteArray::number(counter).rightJustified(20, '0') + '\n')
        .leftJustified(64, '.');
}
const QByteArray BLOB = colliding(11156);
const QByteArray FORGED_BLOB = colliding(35062);
// What an earlier release installed in BLOB's place.
const QByteArray OLD_BLOB = QByteArray("orvex test file of the release before\n").leftJustified(64, '-');

struct RunOutcome
{
    bool success = false;
    QStringList errors; // "code: text"
    QStringList fetched; // request paths
    QStringList statuses; // the status texts, manifest reads included
};

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
    void derive(const QString &name, const std::function<void(const QString &)> &change,
                const QString &from = "signed")
    {
        QCOMPARE(QProcess::execute("cp", {"-r", tree(from), tree(name)}), 0);
        change(tree(name) + "/patcher.json");
    }
    // A copy of the signed tree whose manifest is changed by `change` and
    // signed again with the trusted key: what the publisher would sign.
    void derive_signed(const QString &name, const std::function<void(QJsonObject &)> &change)
    {
        derive(name, [this, &change](const QString &manifest) {
            QJsonObject object = QJsonDocument::fromJson(read_file(manifest)).object();
            change(object);
            const QByteArray text = QJsonDocument(object).toJson();
            QVERIFY(write_file(manifest, text) &&
                    write_file(manifest + ".sig", sign_ed25519(read_file(path("a.key")), text)));
        });
    }

    // Reads the main manifest of `main` and, when given, the manifest of
    // distribution `dist` from tree `extra`, then runs the update, all in
    // the working directory, with key a.pub.
    RunOutcome update(const QString &main, const QString &extra = QString(),
                      const QString &dist = QString(), const QVector<int> &retry_delays = {20})
    {
        fixture.clear_requests();
        Updater updater(base(main));
        updater.set_manifest_keys(read_file(path("a.pub")));
        updater.set_retry_delays(retry_delays);
        QSignalSpy progress(&updater, &Updater::download_progress);
        QtConcurrent::run(&updater, &Updater::read_manifest, true, MANIFEST_NAME).waitForFinished();
        if (!extra.isEmpty())
            QtConcurrent::run(&updater, &Updater::read_extra_manifest, base(extra), MANIFEST_NAME,
                              dist)
                .waitForFinished();
        QSignalSpy errors(&updater, &Updater::download_error);
        QSignalSpy finished(&updater, &Updater::update_finished);
        updater.start_update();
        RunOutcome outcome;
        if (finished.isEmpty() && !finished.wait(60000))
            return outcome;
        outcome.success = finished.first().first().toBool();
        for (const QList<QVariant> &error : qAsConst(errors))
            outcome.errors << error.at(0).toString() + ": " + error.at(1).toString();
        for (const RecordedRequest &request : fixture.requests())
            outcome.fetched << QString::fromLatin1(request.path);
        for (const QList<QVariant> &report : qAsConst(progress))
            outcome.statuses << report.at(2).toString();
        return outcome;
    }
    static QStringList listing(const QString &folder)
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot);
    }

private slots:
    void initTestCase()
    {
        const TestKeyPair a = make_test_key_pair(), b = make_test_key_pair(),
                          ec = make_test_key_pair(true), x = make_x25519_key_pair();
        QVERIFY(!a.public_pem.isEmpty() && !b.public_pem.isEmpty() && !ec.public_pem.isEmpty() &&
                !x.public_pem.isEmpty());
        QVERIFY(
            write_file(path("a.key"), a.private_pem) && write_file(path("a.pub"), a.public_pem) &&
            write_file(path("b.key"), b.private_pem) && write_file(path("b.pub"), b.public_pem) &&
            // Two keys during a rollover: the new one first, the old one still valid.
            write_file(path("ba.pub"), b.public_pem + a.public_pem) &&
            write_file(path("ec.key"), ec.private_pem) &&
            // One good key beside one of the wrong kind: the list is refused whole.
            write_file(path("a-ec.pub"), a.public_pem + ec.public_pem) &&
            // Raw 32 bytes as well, but a key-agreement key: refused just as whole.
            write_file(path("a-x25519.pub"), a.public_pem + x.public_pem));
        QVERIFY(QDir().mkpath(path("release/data")) && QDir().mkpath(path("bare")) &&
                QDir().mkpath(path("pair/data")) &&
                QDir().mkpath(path("trees")));
        QVERIFY(write_file(path("release/orvex.exe"), GAME) &&
                write_file(path("release/data/table.bin"), TABLE));
        // A release without folders: checking it creates none.
        QVERIFY(write_file(path("bare/readme.txt"), "read me"));

        QCOMPARE(publish("signed", {"--sign-key", path("a.key")}), 0);
        QCOMPARE(publish("other-key", {"--sign-key", path("b.key")}), 0);
        QCOMPARE(publish("unsigned", {}), 0);
        QCOMPARE(publish("later", {"--sign-key", path("a.key"), "--sequence", "5"}), 0);
        QCOMPARE(publish("qa", {"--sign-key", path("b.key"), "--distribution", "qa"}), 0);
        QCOMPARE(publish("qa-a", {"--sign-key", path("a.key"), "--distribution", "qa"}), 0);
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
        derive_signed("expired", [](QJsonObject &manifest) {
            manifest.insert("expires", "2020-01-01T00:00:00Z");
        });
        derive_signed("no digests", [](QJsonObject &manifest) {
            QJsonObject files = manifest.value("files").toObject();
            QJsonObject entry = files.value("orvex.exe").toObject();
            entry.remove("sha256");
            files.insert("orvex.exe", entry);
            manifest.insert("files", files);
        });
        derive_signed("no sequence",
                      [](QJsonObject &manifest) { manifest.remove("sequence"); });
        // The pair: the genuine file published and signed; a tree that
        // serves the other one in its place, beside the genuine manifest.
        QVERIFY(FileHasher::hash_text_of(BLOB) == FileHasher::hash_text_of(FORGED_BLOB) &&
                BLOB != FORGED_BLOB && BLOB.size() == FORGED_BLOB.size());
        QVERIFY(write_file(path("pair/data/blob.bin"), BLOB) &&
                write_file(path("pair/orvex.exe"), GAME));
        QCOMPARE(publisher({"--release", path("pair"), "--out", tree("genuine"),
                            "--server-version", "5.0", "--launcher-version", "1.4.0",
                            "--sign-key", path("a.key")}),
                 0);
        derive(
            "forged",
            [this](const QString &) {
                QVERIFY(write_file(tree("forged") + "/data/blob.bin.bz2",
                                   bz2_compress(FORGED_BLOB)));
            },
            "genuine");

        // The genuine manifest with a patch from the earlier content of
        // blob.bin, signed; the patch served is one whose result has the
        // file's hash text and size, not its digest. With and without the
        // genuine archive beside it.
        const QString patch_name = PatchName::compose("blob.bin", FileHasher::hash_text_of(OLD_BLOB),
                                                      FileHasher::hash_text_of(BLOB));
        QByteArray forged_patch;
        QVERIFY(make_patch(OLD_BLOB, FORGED_BLOB, &forged_patch).ok);
        for (const char *name : {"patched forged", "patched forged, no archive"}) {
            derive(
                name,
                [&](const QString &manifest) {
                    QJsonObject object = QJsonDocument::fromJson(read_file(manifest)).object();
                    QJsonObject files = object.value("files").toObject();
                    QJsonObject entry = files.value("data/blob.bin").toObject();
                    QVERIFY(!entry.isEmpty());
                    entry.insert("patches", QJsonArray {patch_name});
                    files.insert("data/blob.bin", entry);
                    object.insert("files", files);
                    const QByteArray text = QJsonDocument(object).toJson();
                    QVERIFY(write_file(manifest, text) &&
                            write_file(manifest + ".sig",
                                       sign_ed25519(read_file(path("a.key")), text)));
                    const QString tree = QFileInfo(manifest).path();
                    QVERIFY(QDir().mkpath(tree + "/patches") &&
                            write_file(tree + "/patches/" + patch_name + ".bz2", forged_patch));
                    if (QByteArray(name).contains("no archive"))
                        QVERIFY(QFile::remove(tree + "/data/blob.bin.bz2"));
                },
                "genuine");
        }
        // Another signed manifest of the same sequence as "signed".
        derive_signed("twin", [](QJsonObject &manifest) {
            manifest.insert("server-version", "5.0.1");
        });
        // The distribution's own manifest, its name written in capitals.
        derive_signed("qa capitals", [](QJsonObject &manifest) {
            manifest.insert("distribution", "QA");
        });

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

    // A sequence given by hand must be above the tree it replaces; one far
    // ahead of every earlier tree is published with a warning.
    void publisher_sequence_rules_data()
    {
        QTest::addColumn<QString>("sequence");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("said"); // in its error output
        QTest::newRow("the replaced tree's own") << "1" << 1 << QByteArray("not above");
        QTest::newRow("below the replaced tree's") << "0" << 1 << QByteArray("not above");
        QTest::newRow("next") << "2" << 0 << QByteArray();
        QTest::newRow("far ahead") << "9007199254740991" << 0 << QByteArray("warning: --sequence");
    }
    void publisher_sequence_rules()
    {
        QFETCH(QString, sequence);
        QFETCH(int, status);
        QFETCH(QByteArray, said);
        const QString out = "sequence " + QString(QTest::currentDataTag());
        QCOMPARE(QProcess::execute("cp", {"-r", tree("signed"), tree(out)}), 0);
        const QByteArray before = read_file(tree(out) + "/patcher.json");
        QCOMPARE(QJsonDocument::fromJson(before).object().value("sequence").toInt(), 1);
        QByteArray errors;
        QCOMPARE(publish(out,
                         {"--previous", tree(out), "--sign-key", path("a.key"), "--sequence",
                          sequence},
                         &errors),
                 status);
        if (said.isEmpty())
            QVERIFY2(!errors.contains("warning: --sequence"), errors.constData());
        else
            QVERIFY2(errors.contains(said), errors.constData());
        const QJsonObject after =
            QJsonDocument::fromJson(read_file(tree(out) + "/patcher.json")).object();
        if (status != 0)
            QCOMPARE(read_file(tree(out) + "/patcher.json"), before);
        else
            QCOMPARE(QString::number(after.value("sequence").toDouble(), 'f', 0), sequence);
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
        QTest::newRow("key list with an X25519 key") << "signed"
                                                     << "a-x25519.pub" << 1;
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
                                             << "qa"
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
            QtConcurrent::run(&updater, &Updater::read_extra_manifest, base(dist), MANIFEST_NAME,
                              dist)
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
        if (!dist.isEmpty()) {
            written.removeAll(VerifyCache::file_name());
            written.removeAll(ReleaseOrder::file_name());
        }
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
        QtConcurrent::run(&updater, &Updater::read_extra_manifest, base("unsigned"), MANIFEST_NAME,
                          QString("unsigned"))
            .waitForFinished();
        QCOMPARE(updater.get_launcher_version(), QString("1.4.0"));
        QVERIFY(!updater.manifest_refused());
        QStringList fetched;
        for (const RecordedRequest &request : fixture.requests())
            fetched << QString::fromLatin1(request.path);
        QCOMPARE(fetched,
                 QStringList({"/trees/signed/patcher.json", "/trees/unsigned/patcher.json"}));
    }

    // Validly signed manifests that do not fit the folder: each refused with
    // 909 and its reason before any archive is asked for, with nothing
    // written beyond what the manifest accepted first left.
    void signed_facts_decide_data()
    {
        QTest::addColumn<QString>("before"); // main tree accepted first, "" none
        QTest::addColumn<QString>("main");
        QTest::addColumn<QString>("extra"); // tree of the distribution's manifest
        QTest::addColumn<QString>("dist");
        QTest::addColumn<QString>("refusal"); // "" accepted
        QTest::newRow("earlier release than one accepted")
            << "later"
            << "signed" << QString() << QString()
            << "Manifest is older than the installed release";
        QTest::newRow("the same release again") << "signed"
                                                << "signed" << QString() << QString() << QString();
        QTest::newRow("a distribution's at the main address")
            << QString() << "qa-a" << QString() << QString()
            << "Manifest is for another distribution";
        QTest::newRow("the main one for a distribution")
            << QString() << "bare"
            << "signed"
            << "qa"
            << "Manifest is for another distribution";
        QTest::newRow("the distribution's own") << QString() << "bare"
                                                << "qa-a"
                                                << "qa" << QString();
        QTest::newRow("the distribution's own, named in capitals")
            << QString() << "bare"
            << "qa capitals"
            << "qa" << QString();
        QTest::newRow("other bytes of an accepted sequence")
            << "signed"
            << "twin" << QString() << QString()
            << "Manifest differs from the installed release of the same sequence";
        QTest::newRow("expired") << QString() << "expired" << QString() << QString()
                                 << "Manifest has expired";
        QTest::newRow("a file without its digest")
            << QString() << "no digests" << QString() << QString() << "Manifest lacks file digests";
        QTest::newRow("no sequence") << QString() << "no sequence" << QString() << QString()
                                     << "Manifest lacks its sequence or distribution";
    }
    void signed_facts_decide()
    {
        QFETCH(QString, before);
        QFETCH(QString, main);
        QFETCH(QString, extra);
        QFETCH(QString, dist);
        QFETCH(QString, refusal);
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        if (!before.isEmpty()) {
            Updater first(base(before));
            first.set_manifest_keys(read_file(path("a.pub")));
            QtConcurrent::run(&first, &Updater::read_manifest, false, MANIFEST_NAME)
                .waitForFinished();
            QVERIFY(!first.manifest_refused());
        }
        const QStringList before_listing = listing(install.path());
        const QByteArray before_state = read_file(ReleaseOrder::file_name());

        const RunOutcome outcome = update(main, extra, dist);
        if (refusal.isEmpty()) {
            QCOMPARE(outcome.errors, QStringList());
            QVERIFY(outcome.success);
            return;
        }
        QVERIFY(!outcome.success);
        QCOMPARE(outcome.errors, QStringList {"909: " + refusal});
        QCOMPARE(outcome.fetched.filter(".bz2"), QStringList());
        if (extra.isEmpty()) {
            QCOMPARE(listing(install.path()), before_listing);
            QCOMPARE(read_file(ReleaseOrder::file_name()), before_state);
        } else {
            // The main manifest was fine: only the launcher's own state.
            for (const QString &name : listing(install.path()))
                QVERIFY2(name.startsWith(".saltmarch-"), qPrintable(name));
        }
    }

    // A file of the signed manifest's hash text and size, other content: the
    // whole digest tells them apart, whether served or found installed.
    void whole_digest_binds_each_file_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QByteArray>("installed");
        QTest::newRow("served instead") << "forged" << QByteArray();
        QTest::newRow("installed instead") << "genuine" << FORGED_BLOB;
    }
    void whole_digest_binds_each_file()
    {
        QFETCH(QString, tree);
        QFETCH(QByteArray, installed);
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        if (!installed.isEmpty())
            QVERIFY(QDir().mkpath("data") && write_file("data/blob.bin", installed));
        const RunOutcome outcome = update(tree);
        if (tree == "forged") {
            QVERIFY(!outcome.success);
            QCOMPARE(outcome.errors,
                     QStringList {QString::number(CODE_FILE_DAMAGED) + ": " +
                                  TEXT_FILE_DAMAGED.arg("blob.bin")});
            QVERIFY(!QFile::exists("data/blob.bin"));
            QByteArray errors;
            QCOMPARE(publisher({"--check", this->tree("forged")}, &errors), 1);
            QVERIFY2(errors.contains("sha256"), errors.constData());
        } else {
            QVERIFY(outcome.success);
            QCOMPARE(outcome.fetched.filter("blob.bin.bz2").size(), 1);
            QCOMPARE(read_file("data/blob.bin"), BLOB);
        }
    }

    // The signature fetch has the transfer's retries, and a signature that
    // does not match is asked for once more past caches.
    void signature_fetch_tries_again_data()
    {
        QTest::addColumn<int>("status"); // of the first answer
        QTest::addColumn<bool>("stale"); // the first answer is another manifest's signature
        QTest::newRow("503 once") << 503 << false;
        QTest::newRow("a cache's older signature once") << 200 << true;
        QTest::newRow("404: no signature") << 404 << false;
    }
    void signature_fetch_tries_again()
    {
        QFETCH(int, status);
        QFETCH(bool, stale);
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        const QByteArray good = read_file(tree("signed") + "/patcher.json.sig");
        const QByteArray old = read_file(tree("later") + "/patcher.json.sig");
        auto answers = std::make_shared<std::atomic<int>>(0);
        fixture.route("GET", "/trees/signed/patcher.json.sig",
                      [=](const RecordedRequest &) {
                          FixtureResponse response;
                          const bool first = (*answers)++ == 0;
                          response.status = first ? status : 200;
                          response.body = first ? (stale ? old : QByteArray("busy")) : good;
                          return response;
                      });
        const RunOutcome outcome = update("signed");
        fixture.route("GET", "/trees/signed/patcher.json.sig",
                      FixtureResponse {200, {}, good});
        if (status == 404) {
            QCOMPARE(outcome.errors, QStringList {"909: Manifest signature is not valid"});
            QCOMPARE(outcome.fetched.filter(".sig").size(), 1);
            return;
        }
        QCOMPARE(outcome.errors, QStringList());
        QVERIFY(outcome.success);
        QCOMPARE(read_file("orvex.exe"), GAME);
        QCOMPARE(outcome.fetched.filter(".sig").size(), 2);
        if (stale) {
            const QList<RecordedRequest> requests = fixture.requests();
            QList<QByteArray> cache_control;
            for (const RecordedRequest &request : requests)
                if (request.path.endsWith(".sig"))
                    cache_control << request.header("Cache-Control");
            QCOMPARE(cache_control, QList<QByteArray>({"", "no-cache"}));
        }
    }

    // A patch whose result has the file's hash text and size but not its
    // digest never reaches the game folder: the file stays as it was, also
    // for a later start without a manifest, until the genuine archive comes.
    void forged_patch_result_never_lands_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::newRow("archive missing (404)") << "patched forged, no archive";
        QTest::newRow("genuine archive served") << "patched forged";
    }
    void forged_patch_result_never_lands()
    {
        QFETCH(QString, tree);
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        QVERIFY(QDir().mkpath("data") && write_file("data/blob.bin", OLD_BLOB) &&
                write_file("orvex.exe", GAME) &&
                QFile::link(bin_dir() + "/patcher.exe", "patcher.exe"));
        const RunOutcome outcome = update(tree);
        QVERIFY(outcome.fetched.filter("/patches/").size() >= 1);
        if (tree.contains("no archive")) {
            QVERIFY(!outcome.success);
            QCOMPARE(outcome.errors.size(), 1);
            QVERIFY2(outcome.errors.first().startsWith(QString::number(CODE_DOWNLOAD_FAILED)),
                     qPrintable(outcome.errors.first()));
            QVERIFY(read_file("data/blob.bin") == OLD_BLOB);
            // The next start finds no manifest and keeps the files as they are.
            const RunOutcome later = update("none");
            QVERIFY(later.success);
            QVERIFY(read_file("data/blob.bin") == OLD_BLOB);
        } else {
            QCOMPARE(outcome.errors, QStringList());
            QVERIFY(outcome.success);
            QVERIFY(read_file("data/blob.bin") == BLOB);
        }
        QCOMPARE(listing(install.path() + "/data"), QStringList {"blob.bin"});
    }

    // A file whose hash text the verification cache already knows is still
    // bound by its whole digest.
    void cached_hash_text_is_not_the_file()
    {
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        QVERIFY(QDir().mkpath("data") && write_file("data/blob.bin", FORGED_BLOB));
        // The cache trusts what it noted only for a file unchanged well
        // before it looked.
        QTest::qWait(2100);
        {
            // A first verification notes the installed file in the cache.
            Updater first(base("genuine"));
            first.set_manifest_keys(read_file(path("a.pub")));
            QtConcurrent::run(&first, &Updater::read_manifest, true, MANIFEST_NAME)
                .waitForFinished();
        }
        QVERIFY(QFile::exists(VerifyCache::file_name()));
        const RunOutcome outcome = update("genuine");
        QVERIFY(outcome.success);
        QCOMPARE(outcome.fetched.filter("blob.bin.bz2").size(), 1);
        QCOMPARE(read_file("data/blob.bin"), BLOB);
    }

    // What stands at the release state's name never turns the order off: an
    // empty folder gives way to the file; one that cannot be replaced leaves
    // the order in force while the launcher runs.
    void release_state_is_never_silently_lost_data()
    {
        QTest::addColumn<bool>("folder_holds_a_file");
        QTest::newRow("empty folder at its name") << false;
        QTest::newRow("folder with a file at its name") << true;
    }
    void release_state_is_never_silently_lost()
    {
        QFETCH(bool, folder_holds_a_file);
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        QVERIFY(QDir().mkdir(ReleaseOrder::file_name()));
        if (folder_holds_a_file)
            QVERIFY(write_file(ReleaseOrder::file_name() + "/keep", "kept"));
        QVERIFY(update("later").success);
        QCOMPARE(QFileInfo(ReleaseOrder::file_name()).isFile(), !folder_holds_a_file);
        const RunOutcome older = update("signed");
        QCOMPARE(older.errors, QStringList {"909: Manifest is older than the installed release"});
        if (folder_holds_a_file)
            QCOMPARE(read_file(ReleaseOrder::file_name() + "/keep"), QByteArray("kept"));
    }

    // Blips on the manifest read before an update: each is tried again
    // within the same play, the update runs.
    void manifest_read_rides_out_blips_data()
    {
        QTest::addColumn<QStringList>("blips"); // first answers, in order
        QTest::newRow("503") << QStringList {"503"};
        QTest::newRow("429 with Retry-After") << QStringList {"429"};
        QTest::newRow("cut connection") << QStringList {"cut"};
        QTest::newRow("all three") << QStringList {"503", "429", "cut"};
    }
    void manifest_read_rides_out_blips()
    {
        QFETCH(QStringList, blips);
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        const QByteArray manifest = read_file(tree("signed") + "/patcher.json");
        auto answers = std::make_shared<std::atomic<int>>(0);
        fixture.route("GET", "/trees/signed/patcher.json", [=](const RecordedRequest &) {
            const int index = (*answers)++;
            FixtureResponse response;
            response.body = manifest;
            const QString blip = blips.value(index);
            if (blip == "cut") {
                response.close_after_bytes = 10;
            } else if (!blip.isEmpty()) {
                response.status = blip.toInt();
                response.body = "busy";
                if (blip == "429")
                    response.headers = {{"Retry-After", "1"}};
            }
            return response;
        });
        QElapsedTimer timer;
        timer.start();
        const RunOutcome outcome = update("signed", QString(), QString(), {20, 20, 20});
        fixture.route("GET", "/trees/signed/patcher.json", FixtureResponse {200, {}, manifest});
        QCOMPARE(outcome.errors, QStringList());
        QVERIFY(outcome.success);
        QCOMPARE(read_file("orvex.exe"), GAME);
        QCOMPARE(outcome.fetched.filter(QRegularExpression("patcher.json$")).size(),
                 blips.size() + 1);
        // The pause the server asked for, not the test's short one.
        if (blips.contains("429"))
            QVERIFY(timer.elapsed() >= 900);
        // The player reads why the update waits.
        QCOMPARE(outcome.statuses.filter(", retrying in ").size(), blips.size());
    }

    // The version-only read at start-up makes one attempt: a busy server
    // does not hold the window's first play back.
    void startup_read_makes_one_attempt()
    {
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        const QByteArray manifest = read_file(tree("signed") + "/patcher.json");
        fixture.route("GET", "/trees/signed/patcher.json", FixtureResponse {503, {}, "busy"});
        fixture.clear_requests();
        Updater updater(base("signed"));
        updater.set_manifest_keys(read_file(path("a.pub")));
        updater.set_retry_delays({20, 20});
        QtConcurrent::run(&updater, &Updater::read_manifest, false, MANIFEST_NAME)
            .waitForFinished();
        fixture.route("GET", "/trees/signed/patcher.json", FixtureResponse {200, {}, manifest});
        QCOMPARE(fixture.requests().size(), 1);
        QCOMPARE(updater.get_launcher_version(), QString());
    }

    // A signature the server is too busy to send is reported as that, not
    // as a signature that is not valid.
    void busy_signature_is_not_called_invalid()
    {
        QTemporaryDir install;
        QVERIFY(QDir::setCurrent(install.path()));
        const QByteArray good = read_file(tree("signed") + "/patcher.json.sig");
        fixture.route("GET", "/trees/signed/patcher.json.sig", FixtureResponse {503, {}, "busy"});
        const RunOutcome outcome = update("signed");
        fixture.route("GET", "/trees/signed/patcher.json.sig", FixtureResponse {200, {}, good});
        QCOMPARE(outcome.errors,
                 QStringList {"909: Couldn't download the manifest signature (server answered 503)"});
        QCOMPARE(outcome.fetched.filter(".sig").size(), 2);
        QCOMPARE(outcome.fetched.filter(".bz2"), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
