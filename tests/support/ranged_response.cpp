#include "ranged_response.h"

std::function<FixtureResponse(const RecordedRequest &)>
ranged_response(const QByteArray &body, const QByteArray &etag, qint64 cut_at, int cut_answers,
                std::shared_ptr<QAtomicInt> answers)
{
    if (!answers)
        answers = std::make_shared<QAtomicInt>(0);
    return [body, etag, cut_at, cut_answers, answers](const RecordedRequest &request) {
        const int number = answers->fetchAndAddOrdered(1);
        FixtureResponse response;
        response.headers = {{"ETag", etag}};
        qint64 from = 0;
        const QByteArray if_range = request.header("If-Range");
        if (request.header("Range").startsWith("bytes=") &&
            (if_range.isEmpty() || if_range == etag)) {
            from = qMin(range_start(request), qint64(body.size()));
            response.status = 206;
            response.headers.append({"Content-Range",
                                     "bytes " + QByteArray::number(from) + "-" +
                                         QByteArray::number(body.size() - 1) + "/" +
                                         QByteArray::number(body.size())});
        }
        response.body = body.mid(int(from));
        if (number < cut_answers && cut_at >= from)
            response.close_after_bytes = int(cut_at - from);
        return response;
    };
}

qint64 range_start(const RecordedRequest &request)
{
    const QByteArray range = request.header("Range");
    if (!range.startsWith("bytes="))
        return 0;
    return range.mid(6, range.indexOf('-') - 6).toLongLong();
}
