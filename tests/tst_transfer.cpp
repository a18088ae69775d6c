#include "transfer/request_prefetcher.h"

#include <QtTest>

// The transfer room alone: the pace kept for a server that asks to slow down.
class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void pace_grows_only_on_answers_sent_after_halving();
};

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

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
