// Verification-cache files as a damaged disk or another program might leave
// them. The input is the file without its closing checksum, which the target
// appends, so that the records themselves are exercised rather than the
// checksum refusing nearly every input. Holds: no crash, no sanitizer report,
// every entry of a file that loads is found again under its own name, and a
// cache written from it loads again with the same entries.
#include "fuzz_sandbox.h"

#include "updater/verify_cache.h"

#include <QCryptographicHash>
#include <QFile>

#include <cstdint>

namespace {

FuzzSandbox *sandbox = nullptr;

void set_up()
{
    sandbox = FuzzSandbox::start_run("fuzz_verify_cache");
    sandbox->seal();
}

bool write_cache(const QString &folder, const QByteArray &content)
{
    QFile file(folder + QLatin1Char('/') + VerifyCache::file_name());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        file.write(content) == content.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!sandbox)
        set_up();
    const QString work = sandbox->work_path();
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    if (!write_cache(work, body + QCryptographicHash::hash(body, QCryptographicHash::Sha256)))
        fuzz_fail("cannot write the cache file");
    {
        VerifyCache cache;
        if (cache.load(work)) {
            for (int i = 0; i < cache.size(); ++i) {
                if (cache.find(cache.name_at(i)) != i)
                    fuzz_fail("an entry is not found under its name");
                VerifyCache::Entry now = cache.entry_at(i);
                if (cache.reusable_at(i, now))
                    cache.digest_at(i);
            }
            // Written again after one change, it must read back whole.
            if (cache.size() > 0)
                cache.remove_at(0);
            if (!cache.save(work))
                fuzz_fail("a loaded cache cannot be written");
            VerifyCache again;
            if (!again.load(work) || again.size() != qMax(0, cache.size() - 1))
                fuzz_fail("a written cache does not load with its entries");
        }
    }
    sandbox->check_and_reset();
    return 0;
}
