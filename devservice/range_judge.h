#pragma once

#include <QByteArray>

namespace httplib {
struct Request;
}

// How a GET of a served file is answered given its Range and If-Range
// headers. The server library cuts satisfiable ranges itself; the service
// decides beforehand whether it may.
enum class RangeAnswer {
    Whole, // 200 with the whole file: no range asked, or If-Range did not match
    Partial, // 206 with the ranges asked for
    Unsatisfiable, // 416 with "Content-Range: bytes */size"
};

// A range is unsatisfiable when it starts at or after the end of the file,
// ends before it starts or asks for an empty suffix. Several ranges are
// answered only when each is satisfiable. If-Range holds the file's entity
// tag or its Last-Modified date, compared exactly; any other value means the
// file has changed since the client's copy, so the whole file is sent.
RangeAnswer judge_range(const httplib::Request &req, qint64 size, const QByteArray &etag,
                        const QByteArray &last_modified);
