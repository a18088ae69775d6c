#include "transfer/memory_sink.h"

bool MemorySink::open(bool, Resume &resume, UpdateFailure &)
{
    // Nothing is kept between transfers: every body starts from its first byte.
    resume = Resume();
    bytes.clear();
    too_large = false;
    return true;
}

bool MemorySink::write(qint64 at, const QByteArray &, const char *data, qint64 size,
                       UpdateFailure &failure)
{
    if (at < 0 || at > bytes.size() || at + size > limit) {
        too_large = at + size > limit;
        failure = {UpdateFault::TransferFailed, QString(), QString()};
        return false;
    }
    bytes.truncate(int(at));
    bytes.append(data, int(size));
    return true;
}

TransferSink::Verdict MemorySink::finish(UpdateFailure &failure)
{
    failure = {};
    return Verdict::Done;
}

void MemorySink::abort(Abandon)
{
    bytes.clear();
}
