#include "support/test_files.h"
#include "updater/patch_name.h"
#include "updater/updater.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Hash text number n ("1111111" for 1); 0 is the hash text of a missing file.
QString h(int n)
{
    return n ? QString(7, QChar('0' + n)) : QString();
}

// Plans from H<local> to H3 over patches written "12" (from H1 to H2); the
// chain comes back in the same notation.
QStringList plan(const QJsonArray &patches, int local = 1)
{
    QQueue<PatchStep> chain;
    Updater::plan_patch_chain(chain, h(local), h(3), patches);
    QStringList codes;
    for (const PatchStep &step : chain) {
        PatchName parsed;
        PatchName::parse(step.patch_name, parsed);
        codes << parsed.source_hash.left(1) + step.result_hash.left(1);
    }
    return codes;
}

QJsonArray patches(const QStringList &codes)
{
    QJsonArray array;
    for (const QString &code : codes)
        array.append(PatchName::compose("f", h(code[0].digitValue()), h(code[1].digitValue())));
    return array;
}

QStringList queued(const Updater &updater)
{
    QStringList records;
    for (const FileRecord &record : updater.get_file_queue())
        records << QString("%1@%2 %3 %4")
                       .arg(record.name, record.base_url.host(), record.local_hash)
                       .arg(record.patch_chain.size());
    return records;
}

const QUrl A("https://a.example/");
const QUrl B("https://b.example/");

} // namespace

class TestPlan : public QObject
{
    Q_OBJECT

private:
    // Every case runs in root/work, beside a link back to root: anything that
    // escapes the working directory lands in root.
    std::unique_ptr<QTemporaryDir> root;

private slots:
    void init()
    {
        root = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(root->path()).mkpath("work") && QDir::setCurrent(root->path() + "/work"));
        QVERIFY(QFile::link(root->path(), "link"));
    }

    void hash_texts()
    {
        const QByteArray big = QByteArray(700001, 'q') + "over several read blocks";
        for (const QByteArray &content : {QByteArray(), QByteArray("abc"), big}) {
            QVERIFY(write_file("file", content));
            QCOMPARE(Updater::file_hash("file"),
                     QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex().left(7));
        }
        QCOMPARE(Updater::file_hash("missing"), QString());
        QCOMPARE(Updater::file_hash("."), QString()); // a directory does not open
    }

    void plan_cases_data()
    {
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QStringList>("chain");
        QTest::newRow("direct listed last") << QStringList {"12", "23", "13"} << QStringList {"13"};
        QTest::newRow("direct listed first")
            << QStringList {"13", "12", "23"} << QStringList {"13"};
        QTest::newRow("tie, H2 first")
            << QStringList {"12", "14", "23", "43"} << QStringList {"12", "23"};
        QTest::newRow("tie, H4 first")
            << QStringList {"14", "12", "23", "43"} << QStringList {"14", "43"};
        QTest::newRow("no chain") << QStringList {"12"} << QStringList {};
        QTest::newRow("cycle on the way")
            << QStringList {"12", "21", "24", "42", "43"} << QStringList {"12", "24", "43"};
    }
    void plan_cases()
    {
        QFETCH(QStringList, codes);
        QFETCH(QStringList, chain);
        QCOMPARE(plan(patches(codes)), chain);
        QCOMPARE(plan(patches(codes), 0), QStringList()); // a missing file has no chain
    }

    void patch_cycle_without_target_ends()
    {
        QCOMPARE(plan(patches({"12", "21", "24", "41", "11"})), QStringList());
    }

    void ignored_patch_entries()
    {
        const QString name = PatchName::compose("", h(1), h(3)); // 22 characters
        QCOMPARE(plan({name}), QStringList {"13"});
        for (const QJsonValue &entry :
             {QJsonValue(name.mid(1)), QJsonValue(42), QJsonValue("/" + name),
              QJsonValue("\\" + name), QJsonValue(".." + name), QJsonValue(QChar(0) + name)})
            QCOMPARE(plan(QJsonArray {entry}), QStringList());
    }

    void verification_outcomes()
    {
        for (const char *name : {"same", "upper", "full", "stale"})
            QVERIFY(write_file(name, "abc"));
        QVERIFY(write_file("empty", ""));
        Updater updater(A);
        updater.parse_manifest(R"({"files": {
            "same": {"hash": "ba7816b"}, "absent": {}, "not-object": 5, "empty": {"hash": "1"},
            "upper": {"hash": "BA7816B"}, "deep/er/file": {"hash": "2", "path": "deep/er"},
            "full": {"hash": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
            "stale": {"hash": "1111111", "patches": ["stale.ba7816b_1111111.patch"]}}})",
                               A, true);
        QCOMPARE(queued(updater),
                 QStringList({"deep/er/file@a.example  0", "empty@a.example e3b0c44 0",
                              "full@a.example ba7816b 0", "stale@a.example ba7816b 1",
                              "upper@a.example ba7816b 0"}));
        QVERIFY(QFileInfo("deep/er").isDir());
    }

    void later_manifest_decides_again()
    {
        QVERIFY(write_file("x", "abc"));
        Updater updater(A);
        const QJsonObject stale {{"hash", "1"}};
        updater.verify_files({{"x", stale}, {"y", stale}, {"z", stale}}, A);
        updater.verify_files({{"x", QJsonObject {{"hash", "ba7816b"}}}, {"y", stale}}, B);
        QCOMPARE(queued(updater), QStringList({"z@a.example  0", "y@b.example  0"}));
    }

    void unsafe_names_touch_nothing_outside_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("path");
        QStringList bad = QString("../escape|a/../../escape|C:escape|a\\..\\escape|a//escape|"
                                  "escape/|link/escape")
                              .split('|');
        bad << QDir::current().absoluteFilePath("../escape") << QString("esc") + QChar(0) + "ape";
        for (const QString &name : bad) {
            QTest::newRow(qPrintable("key " + name)) << name << "";
            QTest::newRow(qPrintable("path " + name)) << "ok" << name;
        }
    }
    void unsafe_names_touch_nothing_outside()
    {
        QFETCH(QString, key);
        QFETCH(QString, path);
        Updater updater(A);
        updater.verify_files({{key, QJsonObject {{"path", path}, {"hash", "1234567"}}}}, A);
        QVERIFY(updater.get_file_queue().isEmpty());
        QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList {"work"});
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList {"link"});
    }

    void unsafe_exec_keeps_name()
    {
        for (const QString &exec : QString("game.exe|bin/game.exe|/bin/sh|../game.exe|C:\\game.exe|"
                                           "link/game.exe|")
                                       .split('|')) {
            Updater updater(A);
            updater.parse_manifest(QJsonDocument(QJsonObject {{"exec", exec}}).toJson(), A, true);
            QCOMPARE(updater.get_exec_name(),
                     exec.startsWith("game") || exec.startsWith("bin") ? exec
                                                                       : QString("orvex.exe"));
        }
    }
};

QTEST_GUILESS_MAIN(TestPlan)
#include "tst_plan.moc"
