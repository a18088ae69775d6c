#pragma once

#include "https_fixture.h"

#include <QAtomicInt>
#include <QByteArray>

#include <functional>
#include <memory>

// A download server's answer that honours Range and If-Range the way a
// static file server does: 206 with Content-Range for a range whose If-Range
// (if any) names the current ETag, else 200 with the whole body. The first
// `cut_answers` answers close the connection once `cut_at` bytes of the file
// have been sent. The handler counts its answers in *answers, if given.
std::function<FixtureResponse(const RecordedRequest &)>
ranged_response(const QByteArray &body, const QByteArray &etag, qint64 cut_at = -1,
                int cut_answers = 0, std::shared_ptr<QAtomicInt> answers = nullptr);

// The first byte a request asks for with "Range: bytes=N-", or 0.
qint64 range_start(const RecordedRequest &request);
