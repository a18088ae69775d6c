#include "range_judge.h"

#include <httplib.h>

RangeAnswer judge_range(const httplib::Request &req, qint64 size, const QByteArray &etag,
                        const QByteArray &last_modified)
{
    if (req.ranges.empty())
        return RangeAnswer::Whole;
    if (req.has_header("If-Range")) {
        const QByteArray validator = QByteArray::fromStdString(req.get_header_value("If-Range"));
        if (validator != etag && validator != last_modified)
            return RangeAnswer::Whole;
    }
    for (const auto &range : req.ranges) {
        const qint64 first = range.first;
        const qint64 last = range.second;
        const bool satisfiable =
            first < 0 ? last > 0 && size > 0 : first < size && (last < 0 || last >= first);
        if (!satisfiable)
            return RangeAnswer::Unsatisfiable;
    }
    return RangeAnswer::Partial;
}
