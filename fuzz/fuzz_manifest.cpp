// Manifest documents as the download service might send them: parsed into an
// Updater that verifies the listed files in a sandboxed working folder and
// plans patch chains for the stale ones. Holds: no crash, no sanitizer
// report, nothing created outside the working folder, every planned chain
// really leads from the local hash text to the expected one, every queued
// name is a safe relative path, and every chain search ends (libFuzzer's
// -timeout catches one that does not).
#include "fuzz_sandbox.h"

#include "patch_name.h"
#include "safe_path.h"
#include "updater/plan_builder.h"
#include "updater/updater.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

namespace {

FuzzSandbox *sandbox = nullptr;
const QUrl BASE(QStringLiteral("https://127.0.0.1:1/win32/"));

// Local files whose hash texts seeds can name: "data/a.dat" holds "a", so its
// hash text is "ca97811"; "b.dat" holds "b" ("3e23e81").
void set_up()
{
    sandbox = FuzzSandbox::start_run("fuzz_manifest");
    sandbox->add_work_file(QStringLiteral("data/a.dat"), "a");
    sandbox->add_work_file(QStringLiteral("b.dat"), "b");
    sandbox->add_outside_link(QStringLiteral("escape"));
    sandbox->seal();
    if (!QDir::setCurrent(sandbox->work_path()))
        fuzz_fail("cannot enter the working folder");
}

void check_chain(const QQueue<PatchStep> &chain, const QString &from, const QString &to)
{
    if (chain.isEmpty())
        return;
    QString at = from;
    for (const PatchStep &step : chain) {
        PatchName parsed;
        if (!PatchName::parse(step.patch_name, parsed) || parsed.source_hash != at ||
            parsed.result_hash != step.result_hash)
            fuzz_fail("a planned chain is not connected");
        if (!safe_path::is_plain_file_name(step.patch_name))
            fuzz_fail("a planned patch name is not a plain file name");
        at = step.result_hash;
    }
    if (at != to)
        fuzz_fail("a planned chain does not end at the expected hash text");
}

// Plans directly between hash texts the document itself names, so the search
// also meets graphs that no local file leads into.
void plan_between_listed_hashes(const QJsonObject &files)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        const QJsonArray patches = entry.value(QLatin1String("patches")).toArray();
        const QString expected = entry.value(QLatin1String("hash")).toString();
        for (const QJsonValue &value : patches) {
            PatchName parsed;
            if (!PatchName::parse(value.toString(), parsed))
                continue;
            QQueue<PatchStep> chain;
            PlanBuilder::plan_patch_chain(chain, parsed.source_hash, expected, patches);
            check_chain(chain, parsed.source_hash, expected);
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!sandbox)
        set_up();
    const QByteArray document(reinterpret_cast<const char *>(data), int(size));
    {
        Updater updater(BASE);
        updater.parse_manifest(document, BASE, true);
        const QDir work = QDir::current();
        for (const FileRecord &record : updater.get_file_queue()) {
            if (!safe_path::is_safe_inside(work, record.name))
                fuzz_fail("an unsafe name was queued");
            if (record.local_hash == record.expected_hash)
                fuzz_fail("a current file was queued");
            check_chain(record.patch_chain, record.local_hash, record.expected_hash);
        }
        if (!safe_path::is_relative_path(updater.get_exec_name()))
            fuzz_fail("an unsafe executable name was taken");
    }
    const QJsonObject files =
        QJsonDocument::fromJson(document).object().value(QLatin1String("files")).toObject();
    plan_between_listed_hashes(files);
    sandbox->check_and_reset();
    return 0;
}
