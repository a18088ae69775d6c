#include "app/player_error.h"
#include "transfer/downloader.h"
#include "transfer/file_sink.h"
#include "transfer/request_prefetcher.h"
#include "transfer/retry_after.h"
#include "transfer/transfer_sink.h"

#include "dropping_relay.h"
#include "https_fixture.h"
#include "ranged_response.h"
#include "test_files.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(TransferSink::Verdict)

namespace {

// Longer than any transfer of these tests takes.
constexpr int RUN_DEADLINE_MS = 30000;

QByteArray patterned(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char('a' + (i * 7 + i / 13) % 26);
    return data;
}

// A sink that keeps the body in memory and records what the transfer asked
// of it: it may continue an earlier body, refuse bytes from some size on,
// and give the verdicts it is told to, one per finish().
class MemorySink : public TransferSink
{
public:
    bool open(bool, Resume &resume, UpdateFailure &) override
    {
        resume = {body.size(), validator};
        calls << "open";
        return true;
    }
    bool write(qint64 at, const QByteArray &answer_validator, const char *data, qint64 size,
               UpdateFailure &failure) override
    {
        body.truncate(int(at)); // at 0: the body starts over
        validator = answer_validator;
        if (refuse_from >= 0 && body.size() + size > refuse_from) {
            failure = {UpdateFault::DiskFull, "memory", QString()};
            return false;
        }
        body.append(data, int(size));
        return true;
    }
    Verdict finish(UpdateFailure &failure) override
    {
        calls << "finish";
        const Verdict verdict = verdicts.isEmpty() ? Verdict::Done : verdicts.takeFirst();
        if (verdict == Verdict::Done)
            failure = judged;
        return verdict;
    }
    void abort(Abandon how) override
    {
        calls << (how == Abandon::Cancelled   ? "abort cancelled"
                      : how == Abandon::Resumable ? "abort resumable"
                                                  : "abort failed");
    }

    QByteArray body;
    QByteArray validator;
    qint64 refuse_from = -1;
    QList<Verdict> verdicts;
    UpdateFailure judged;
    QStringList calls;
};

} // namespace

// The transfer room alone: Downloader against a sink of the test's own and
// the plain file sink, on the HTTPS fixture; and the pace kept for a server
// that asks to slow down.
class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void continues_where_the_sink_stopped_data();
    void continues_where_the_sink_stopped();
    void verdict_decides_what_follows_data();
    void verdict_decides_what_follows();
    void refused_write_ends_the_transfer();
    void cancel_abandons_the_body();
    void server_without_length_reports_minus_one();
    void uncompressed_error_page_is_saved();
    void existing_file_is_truncated();
    void pace_grows_only_on_answers_sent_after_halving();
    void unanswered_request_is_no_attempt();
    void retry_after_is_read_and_capped_data();
    void retry_after_is_read_and_capped();

private:
    QString url(const QString &name = QStringLiteral("game.dat.bz2")) const
    {
        return fixture.base_url() + "/files/" + name;
    }
    TransferRequest fetch(const QString &name = QStringLiteral("game.dat.bz2")) const
    {
        TransferRequest request;
        request.url = QUrl(url(name));
        return request;
    }
    // Runs the transfer with short pauses; a hang ends it by name.
    Downloader::Ending run(Downloader &downloader, UpdateFailure &failure)
    {
        downloader.set_retry_delays({5, 5, 5});
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &downloader, &Downloader::cancel);
        deadline.start(RUN_DEADLINE_MS);
        return downloader.download(failure);
    }

    HttpsFixture fixture;
    std::unique_ptr<QTemporaryDir> work;
};

void TestTransfer::initTestCase()
{
    QVERIFY(fixture.start());
}

void TestTransfer::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    fixture.clear_requests();
}

void TestTransfer::continues_where_the_sink_stopped_data()
{
    QTest::addColumn<QByteArray>("etag"); // the server's now
    QTest::addColumn<bool>("ranged"); // the answer continues the body
    QTest::newRow("same validator") << QByteArray("\"v1\"") << true;
    QTest::newRow("file changed on the server") << QByteArray("\"v2\"") << false;
}

// The transfer asks for the rest from the sink's offset, naming the
// validator the earlier bytes came with; a server whose file changed sends
// it whole, and the sink gets it from its first byte.
void TestTransfer::continues_where_the_sink_stopped()
{
    QFETCH(QByteArray, etag);
    QFETCH(bool, ranged);
    const QByteArray data = patterned(200000);
    fixture.route("GET", "/files/game.dat.bz2", ranged_response(data, etag));
    MemorySink sink;
    sink.body = data.left(50000);
    sink.validator = "\"v1\"";
    Downloader downloader(fetch(), sink);
    UpdateFailure failure;
    QCOMPARE(int(run(downloader, failure)), int(Downloader::Ending::Done));
    QVERIFY(!failure.failed());
    QVERIFY(sink.body == data);
    const QList<RecordedRequest> requests = fixture.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].header("Range"), QByteArray("bytes=50000-"));
    QCOMPARE(requests[0].header("If-Range"), QByteArray("\"v1\""));
    QCOMPARE(sink.validator, ranged ? QByteArray("\"v1\"") : etag);
}

void TestTransfer::verdict_decides_what_follows_data()
{
    QTest::addColumn<QList<TransferSink::Verdict>>("verdicts");
    QTest::addColumn<QStringList>("asked"); // per request: "range" or "whole"
    QTest::addColumn<bool>("not_the_file");
    using Verdict = TransferSink::Verdict;
    // Whether to ask again past caches is the caller's: one request.
    QTest::newRow("whole body not the file")
        << QList<Verdict> {Verdict::Done} << QStringList {"range"} << true;
    QTest::newRow("continued body wrong")
        << QList<Verdict> {Verdict::StartOver, Verdict::Done} << QStringList {"range", "whole"}
        << false;
    QTest::newRow("handed on") << QList<Verdict> {Verdict::HandedOn} << QStringList {"range"}
                               << false;
}

void TestTransfer::verdict_decides_what_follows()
{
    QFETCH(QList<TransferSink::Verdict>, verdicts);
    QFETCH(QStringList, asked);
    QFETCH(bool, not_the_file);
    const QByteArray data = patterned(100000);
    fixture.route("GET", "/files/game.dat.bz2", ranged_response(data, "\"v1\""));
    MemorySink sink;
    sink.body = data.left(1000);
    sink.validator = "\"v1\"";
    sink.verdicts = verdicts;
    if (not_the_file)
        sink.judged = {UpdateFault::NotTheFile, "game.dat", QString()};
    Downloader downloader(fetch(), sink);
    UpdateFailure failure;
    const Downloader::Ending ending = run(downloader, failure);
    const bool handed_on = verdicts.last() == TransferSink::Verdict::HandedOn;
    QCOMPARE(int(ending),
             int(handed_on ? Downloader::Ending::HandedOn : Downloader::Ending::Done));
    QCOMPARE(failure.fault, not_the_file ? UpdateFault::NotTheFile : UpdateFault::None);
    QStringList seen;
    for (const RecordedRequest &request : fixture.requests())
        seen << (request.header("Range").isEmpty() ? "whole" : "range");
    QCOMPARE(seen, asked);
    QVERIFY(sink.body == data);
}

// A sink that cannot take the bytes (a full disk) ends the transfer at once,
// with its own failure, and drops what arrived.
void TestTransfer::refused_write_ends_the_transfer()
{
    fixture.route("GET", "/files/game.dat.bz2", FixtureResponse {200, {}, patterned(300000)});
    MemorySink sink;
    sink.refuse_from = 100000;
    Downloader downloader(fetch(), sink);
    UpdateFailure failure;
    QCOMPARE(int(run(downloader, failure)), int(Downloader::Ending::Done));
    QCOMPARE(failure.fault, UpdateFault::DiskFull);
    QCOMPARE(fixture.requests().size(), 1);
    QCOMPARE(sink.calls, QStringList({"open", "abort failed"}));
}

// Cancelled while the server stalls: the transfer ends without a verdict and
// the sink keeps what it has for its owner.
void TestTransfer::cancel_abandons_the_body()
{
    FixtureResponse stalled {200, {}, patterned(200000)};
    stalled.stall_after_bytes = 50000;
    stalled.stall_ms = 20000;
    fixture.route("GET", "/files/game.dat.bz2", stalled);
    MemorySink sink;
    Downloader downloader(fetch(), sink);
    QTimer::singleShot(300, &downloader, &Downloader::cancel);
    UpdateFailure failure;
    QCOMPARE(int(run(downloader, failure)), int(Downloader::Ending::Cancelled));
    QCOMPARE(sink.calls, QStringList({"open", "abort cancelled"}));
}

void TestTransfer::server_without_length_reports_minus_one()
{
    FixtureResponse response;
    response.body = patterned(200000);
    response.chunked = true;
    // Qt reports progress at most every 100 ms: spread the body out.
    response.trickle_chunk = 25000;
    response.trickle_interval_ms = 60;
    fixture.route("GET", "/files/patch.bin.bz2", response);
    FileSink sink(work->filePath("patch.bin"));
    Downloader downloader(fetch("patch.bin.bz2"), sink);
    QList<qint64> totals;
    connect(&downloader, &Downloader::download_progress, this,
            [&](qint64, qint64 total) { totals << total; });
    UpdateFailure failure;
    run(downloader, failure);
    QVERIFY(!failure.failed());
    // Every report while data arrives has -1; Qt's closing report may give
    // the received size as the total.
    QVERIFY2(totals.size() >= 2, "expected reports while the body arrived");
    for (int i = 0; i < totals.size() - 1; ++i)
        QCOMPARE(totals[i], qint64(-1));
    QVERIFY(read_file(work->filePath("patch.bin")) == response.body);
}

// An error answer is never taken for the file: it fails the transfer, after
// the retries when the server may recover (5xx), at once when not (4xx).
void TestTransfer::uncompressed_error_page_is_saved()
{
    const QByteArray page = "<html><body>Service unavailable</body></html>";
    fixture.route("GET", "/files/patch.bin.bz2", FixtureResponse {503, {}, page});
    const QString path = work->filePath("patch.bin");
    QVERIFY(write_file(path, "old"));
    FileSink sink(path);
    Downloader downloader(fetch("patch.bin.bz2"), sink);
    UpdateFailure failure;
    run(downloader, failure);
    failure.subject = "patch.bin";
    const PlayerError error = player_error(failure);
    QCOMPARE(error.code, 905);
    QCOMPARE(error.text, QStringLiteral("Couldn't download file: patch.bin (server answered 503)"));
    QCOMPARE(fixture.requests().size(), 4);
    QVERIFY(!QFile::exists(path));
}

void TestTransfer::existing_file_is_truncated()
{
    const QString path = work->filePath("patch.bin");
    QVERIFY(write_file(path, QByteArray(100000, 'o')));
    fixture.route("GET", "/files/patch.bin.bz2", FixtureResponse {200, {}, "short"});
    FileSink sink(path);
    Downloader downloader(fetch("patch.bin.bz2"), sink);
    UpdateFailure failure;
    run(downloader, failure);
    QCOMPARE(read_file(path), QByteArray("short"));
}

// A server that refuses with Retry-After still answers the requests it held
// back: those answers must not win the pace back during the pause, or every
// pause ends with as many requests under way as were refused.
void TestTransfer::pace_grows_only_on_answers_sent_after_halving()
{
    RequestPrefetcher pace;
    const int full = pace.allowed_requests();
    QVector<quint64> sent;
    for (int i = 0; i < 10; ++i)
        sent << pace.next_serial();
    pace.slowed_down(sent.first(), 1000);
    const int halved = pace.allowed_requests();
    QVERIFY(halved < full);
    QVERIFY(pace.wait_ms() > 0);
    for (const quint64 serial : sent.mid(1))
        pace.answered(serial);
    QCOMPARE(pace.allowed_requests(), halved);
    pace.answered(pace.next_serial());
    QCOMPARE(pace.allowed_requests(), halved + 1);
}

// Connections closed before an answer began are sent again without using an
// attempt: a transfer allowed one attempt still completes.
void TestTransfer::unanswered_request_is_no_attempt()
{
    const QByteArray data = patterned(5000);
    fixture.route("GET", "/files/game.dat.bz2", FixtureResponse {200, {}, data});
    DroppingRelay relay(2);
    const quint16 port = relay.start(fixture.port());
    QVERIFY(port != 0);
    TransferRequest request;
    request.url = QUrl(QString("https://127.0.0.1:%1/files/game.dat.bz2").arg(port));
    MemorySink sink;
    Downloader downloader(request, sink);
    UpdateFailure failure;
    downloader.set_retry_delays({});
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &downloader, &Downloader::cancel);
    deadline.start(RUN_DEADLINE_MS);
    QCOMPARE(int(downloader.download(failure)), int(Downloader::Ending::Done));
    QVERIFY2(!failure.failed(), qPrintable(failure.detail));
    QCOMPARE(relay.dropped(), 2);
    QVERIFY(sink.body == data);
}

void TestTransfer::retry_after_is_read_and_capped_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("ms");
    QTest::newRow("seconds") << QByteArray("5") << 5000;
    QTest::newRow("an hour: capped") << QByteArray("3600") << NETWORK_RETRY_AFTER_MAX_MS;
    QTest::newRow("a date in two hours: capped")
        << QByteArray("Thu, 10 Dec 2026 17:00:00 GMT") << NETWORK_RETRY_AFTER_MAX_MS;
    QTest::newRow("a date ten seconds ahead") << QByteArray("Thu, 10 Dec 2026 15:00:10 GMT")
                                              << 10000;
    QTest::newRow("a date past") << QByteArray("Thu, 10 Dec 2026 14:00:00 GMT") << 0;
    QTest::newRow("negative") << QByteArray("-5") << -1;
    QTest::newRow("neither form") << QByteArray("soon") << -1;
    QTest::newRow("missing") << QByteArray() << -1;
}

// A server's Retry-After, as seconds or as a date, never holds a transfer
// back longer than the cap.
void TestTransfer::retry_after_is_read_and_capped()
{
    QFETCH(QByteArray, header);
    QFETCH(int, ms);
    const QDateTime now(QDate(2026, 12, 10), QTime(15, 0), Qt::UTC);
    QCOMPARE(retry_after::delay_ms(header, now), ms);
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
