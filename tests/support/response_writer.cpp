#include "response_writer.h"

#include "stop_signal.h"

#include <httplib.h>

#include <algorithm>

namespace {

bool is_content_type(const QByteArray &name)
{
    return name.compare("Content-Type", Qt::CaseInsensitive) == 0;
}

bool needs_writer(const FixtureResponse &a)
{
    return a.chunked || a.stall_after_bytes >= 0 || a.close_after_bytes >= 0 || a.trickle_chunk > 0;
}

// Sends body[begin, end) through the sink as scripted. Returns false when the
// connection is to be closed: a scripted cut, a client gone, or the fixture
// stopping.
bool send_body(const FixtureResponse &a, StopSignal &stop, size_t begin, size_t end,
               httplib::DataSink &sink)
{
    const size_t total = end - begin;
    const size_t limit = a.close_after_bytes >= 0
        ? std::min(total, static_cast<size_t>(a.close_after_bytes))
        : total;
    const size_t step = a.trickle_chunk > 0 ? static_cast<size_t>(a.trickle_chunk) : total;
    bool stalled = a.stall_after_bytes < 0;
    size_t sent = 0;
    for (;;) {
        if (!stalled && sent == static_cast<size_t>(a.stall_after_bytes)) {
            stalled = true;
            if (!stop.wait_ms(a.stall_ms))
                return false;
        }
        if (sent >= limit)
            break;
        size_t next = std::min(sent + step, limit);
        if (!stalled)
            next = std::min(next, static_cast<size_t>(a.stall_after_bytes));
        if (!sink.write(a.body.constData() + begin + sent, next - sent))
            return false;
        sent = next;
        if (a.trickle_chunk > 0 && sent < limit && !stop.wait_ms(a.trickle_interval_ms))
            return false;
    }
    return limit == total;
}

} // namespace

void write_fixture_response(const FixtureResponse &answer, const std::shared_ptr<StopSignal> &stop,
                            httplib::Response &res)
{
    if (answer.delay_before_headers_ms > 0 && !stop->wait_ms(answer.delay_before_headers_ms)) {
        res.status = 503;
        return;
    }
    res.status = answer.status;
    std::string content_type = "application/octet-stream";
    bool has_content_type = false;
    for (const auto &h : answer.headers) {
        if (is_content_type(h.first)) {
            content_type = h.second.toStdString();
            has_content_type = true;
        } else {
            res.set_header(h.first.toStdString(), h.second.toStdString());
        }
    }

    if (!needs_writer(answer) || (answer.body.isEmpty() && !answer.chunked)) {
        res.body = answer.body.toStdString();
        if (has_content_type)
            res.set_header("Content-Type", content_type);
        return;
    }

    auto script = std::make_shared<FixtureResponse>(answer);
    if (answer.chunked) {
        res.set_chunked_content_provider(
            content_type, [script, stop](size_t offset, httplib::DataSink &sink) {
                if (offset > 0 || !send_body(*script, *stop, 0, script->body.size(), sink))
                    return false;
                sink.done();
                return true;
            });
    } else {
        res.set_content_provider(
            static_cast<size_t>(answer.body.size()), content_type,
            [script, stop](size_t offset, size_t length, httplib::DataSink &sink) {
                return send_body(*script, *stop, offset, offset + length, sink);
            });
    }
}
