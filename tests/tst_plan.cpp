#include "updater/file_hasher.h"
#include "updater/patch_name.h"
#include "updater/updater.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Hash text number n: "1111111" for 1 and so on.
QString h(int n)
{
    return n ? QString(7, QChar('0' + n)) : QString();
}

// Patches written as "12" (from H1 to H2).
QJsonArray patches(const QStringList &codes)
{
    QJsonArray array;
    for (const QString &code : codes)
        array.append(PatchName::compose("f", h(code[0].digitValue()), h(code[1].digitValue())));
    return array;
}

QStringList chain_codes(const QQueue<PatchStep> &chain)
{
    QStringList codes;
    for (const PatchStep &step : chain) {
        PatchName parsed;
        if (PatchName::parse(step.patch_name, parsed) && parsed.result_hash == step.result_hash)
            codes << QString(parsed.source_hash[0]) + parsed.result_hash[0];
    }
    return codes;
}

void write_file(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

QStringList queued_names(const Updater &updater)
{
    QStringList names;
    for (const FileRecord &record : updater.get_file_queue())
        names << record.name + "@" + record.base_url.host();
    return names;
}

} // namespace

class TestPlan : public QObject
{
    Q_OBJECT

private:
    // Every case runs in root/work, so that anything escaping lands in root.
    std::unique_ptr<QTemporaryDir> root;

private slots:
    void init()
    {
        root = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(root->path()).mkpath("work"));
        QVERIFY(QDir::setCurrent(root->path() + "/work"));
        QVERIFY(QFile::link(root->path(), "link"));
    }

    void hash_texts_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QByteArray() << "e3b0c44";
        QTest::newRow("abc") << QByteArray("abc") << "ba7816b";
        const QByteArray big = QByteArray(700001, 'q') + "tail";
        QTest::newRow("over several read blocks")
            << big
            << QString(QCryptographicHash::hash(big, QCryptographicHash::Sha256).toHex().left(7));
    }
    void hash_texts()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        write_file("file.bin", content);
        QCOMPARE(Updater::file_hash("file.bin"), expected);
        QCOMPARE(FileHasher::hash_text_of(content), expected);
    }

    void unreadable_file_hashes_empty()
    {
        QCOMPARE(Updater::file_hash("missing.bin"), QString());
        QCOMPARE(Updater::file_hash("."), QString());
    }

    void parallel_hashes_keep_input_order()
    {
        QStringList paths;
        for (int i = 0; i < 60; ++i) {
            paths << QString("f%1").arg(i);
            if (i % 7 != 3)
                write_file(paths.last(), QByteArray::number(i));
        }
        QStringList sequential;
        for (const QString &path : paths)
            sequential << FileHasher::hash_text(path);
        QCOMPARE(FileHasher::hash_texts(paths), sequential);
    }

    void plan_cases_data()
    {
        QTest::addColumn<QStringList>("patch_codes");
        QTest::addColumn<int>("local");
        QTest::addColumn<QStringList>("expected_chain"); // always towards H3
        QTest::newRow("direct listed last")
            << QStringList {"12", "23", "13"} << 1 << QStringList {"13"};
        QTest::newRow("direct listed first")
            << QStringList {"13", "12", "23"} << 1 << QStringList {"13"};
        QTest::newRow("tie, H2 first")
            << QStringList {"12", "14", "23", "43"} << 1 << QStringList {"12", "23"};
        QTest::newRow("tie, H4 first")
            << QStringList {"14", "12", "23", "43"} << 1 << QStringList {"14", "43"};
        QTest::newRow("no chain") << QStringList {"12"} << 1 << QStringList {};
        QTest::newRow("missing local file") << QStringList {"13"} << 0 << QStringList {};
        QTest::newRow("cycle on the way")
            << QStringList {"12", "21", "24", "42", "43"} << 1 << QStringList {"12", "24", "43"};
    }
    void plan_cases()
    {
        QFETCH(QStringList, patch_codes);
        QFETCH(int, local);
        QFETCH(QStringList, expected_chain);
        QQueue<PatchStep> chain;
        Updater::plan_patch_chain(chain, h(local), h(3), patches(patch_codes));
        QCOMPARE(chain_codes(chain), expected_chain);
    }

    void patch_cycle_without_target_ends()
    {
        QQueue<PatchStep> chain;
        Updater::plan_patch_chain(chain, h(1), h(3), patches({"12", "21", "24", "41", "11"}));
        QVERIFY(chain.isEmpty());
    }

    void ignored_patch_entries_data()
    {
        QTest::addColumn<QJsonValue>("entry");
        QTest::addColumn<bool>("used");
        const QString name = PatchName::compose("", h(1), h(3)); // 22 characters
        QTest::newRow("22 characters") << QJsonValue(name) << true;
        QTest::newRow("21 characters") << QJsonValue(name.mid(1)) << false;
        QTest::newRow("not a string") << QJsonValue(42) << false;
        QTest::newRow("slash") << QJsonValue("/" + name) << false;
        QTest::newRow("backslash") << QJsonValue("\\" + name) << false;
        QTest::newRow("dot dot") << QJsonValue(".." + name) << false;
        QTest::newRow("nul") << QJsonValue(QChar(0) + name) << false;
    }
    void ignored_patch_entries()
    {
        QFETCH(QJsonValue, entry);
        QFETCH(bool, used);
        QQueue<PatchStep> chain;
        Updater::plan_patch_chain(chain, h(1), h(3), QJsonArray {entry});
        QCOMPARE(chain.size(), used ? 1 : 0);
    }

    void verification_outcomes()
    {
        for (const char *name : {"same", "upper", "full", "stale"})
            write_file(name, "abc");
        const QString to_h1 = PatchName::compose("stale", "ba7816b", h(1));
        Updater updater(QUrl("https://a.example/"));
        updater.verify_files(json(R"({
            "same": {"hash": "ba7816b"}, "absent": {}, "not-object": 5,
            "upper": {"hash": "BA7816B"},
            "full": {"hash": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
            "stale": {"hash": "1111111", "patches": [")" +
                                  to_h1.toUtf8() + R"("]},
            "deep/er/file": {"hash": "2222222", "path": "deep/er"}, "none": {"path": ""}})"),
                             QUrl("https://a.example/"));
        QCOMPARE(queued_names(updater),
                 QStringList({"deep/er/file@a.example", "full@a.example", "stale@a.example",
                              "upper@a.example"}));
        QVERIFY(QFileInfo("deep/er").isDir());
        QCOMPARE(updater.get_file_queue()[0].local_hash, QString());
        QCOMPARE(updater.get_file_queue()[2].local_hash, QString("ba7816b"));
        QCOMPARE(updater.get_file_queue()[2].patch_chain.size(), 1);
        QCOMPARE(updater.get_file_queue()[2].patch_chain[0].patch_name, to_h1);
    }

    void later_manifest_decides_again()
    {
        write_file("x", "abc");
        Updater updater(QUrl("https://a.example/"));
        updater.verify_files(json(R"({"x": {"hash": "1111111"}, "y": {"hash": "1111111"},
                                      "z": {"hash": "1111111"}})"),
                             QUrl("https://a.example/"));
        updater.verify_files(json(R"({"x": {"hash": "ba7816b"}, "y": {"hash": "2222222"}})"),
                             QUrl("https://b.example/"));
        QCOMPARE(queued_names(updater), QStringList({"z@a.example", "y@b.example"}));
    }

    void unsafe_names_touch_nothing_outside_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("path");
        const QString outside = QDir::current().absoluteFilePath("../escape");
        const QStringList bad = {
            outside,         "../escape", "a/../../escape", "C:escape",
            "a\\..\\escape", "a//escape", "escape/",        QString("esc") + QChar(0) + "ape",
            "link/escape"};
        for (const QString &name : bad) {
            QTest::newRow(qPrintable("key " + name)) << name << "";
            QTest::newRow(qPrintable("path " + name)) << "ok" << name;
        }
    }
    void unsafe_names_touch_nothing_outside()
    {
        QFETCH(QString, key);
        QFETCH(QString, path);
        QJsonObject files {{key, QJsonObject {{"path", path}, {"hash", "1234567"}}}};
        Updater updater(QUrl("https://a.example/"));
        updater.verify_files(files, QUrl("https://a.example/"));
        QVERIFY(updater.get_file_queue().isEmpty());
        QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList {"work"});
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList {"link"});
    }

    void unsafe_exec_keeps_name_data()
    {
        QTest::addColumn<QString>("exec");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "game.exe"
                               << "game.exe";
        QTest::newRow("subfolder") << "bin/game.exe"
                                   << "bin/game.exe";
        QTest::newRow("absolute") << "/bin/sh"
                                  << "orvex.exe";
        QTest::newRow("parent") << "../game.exe"
                                << "orvex.exe";
        QTest::newRow("drive") << "C:\\game.exe"
                               << "orvex.exe";
        QTest::newRow("through link") << "link/game.exe"
                                      << "orvex.exe";
    }
    void unsafe_exec_keeps_name()
    {
        QFETCH(QString, exec);
        QFETCH(QString, expected);
        Updater updater(QUrl("https://a.example/"));
        updater.parse_manifest(QJsonDocument(QJsonObject {{"exec", exec}}).toJson(), QUrl(), true);
        QCOMPARE(updater.get_exec_name(), expected);
    }
};

QTEST_GUILESS_MAIN(TestPlan)
#include "tst_plan.moc"
