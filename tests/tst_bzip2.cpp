#include "byte_sink.h"
#include "byte_source.h"
#include "bz2_block_decoder.h"
#include "bz2_fast_block_decoder.h"
#include "bz2_parallel_encoder.h"
#include "bz2_status.h"
#include "bz2_stream_encoder.h"
#include "parallel_bz2_decoder.h"
#include "sequential_bz2_decoder.h"

#include "bz2_reference.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <bzlib.h>

#include <memory>
#include <string>

Q_DECLARE_METATYPE(Bz2Status)

namespace {

// Hands out the bytes in pieces of at most `step`; with fail_at >= 0 the
// read that reaches that offset fails.
class MemorySource : public ByteSource
{
public:
    MemorySource(const QByteArray &data, qint64 step, qint64 fail_at = -1)
        : data(data), step(step), fail_at(fail_at)
    {
    }
    qint64 read(char *out, qint64 max) override
    {
        qint64 count = qMin(qMin(max, step), qint64(data.size()) - position);
        if (fail_at >= 0 && position + count >= fail_at)
            return -1;
        memcpy(out, data.constData() + position, size_t(count));
        position += count;
        return count;
    }

private:
    const QByteArray data;
    const qint64 step;
    const qint64 fail_at;
    qint64 position = 0;
};

// Keeps what it is given; refuses once it holds `room` bytes.
class MemorySink : public ByteSink
{
public:
    explicit MemorySink(qint64 room = -1) : room(room) { }
    bool write(const char *data, qint64 size) override
    {
        if (room >= 0 && bytes.size() + size > room)
            return false;
        bytes.append(data, int(size));
        return true;
    }
    QByteArray bytes;

private:
    const qint64 room;
};

QByteArray compress(const QByteArray &data, int level)
{
    unsigned int size = unsigned(data.size() + data.size() / 100 + 600);
    QByteArray out(int(size), Qt::Uninitialized);
    if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char *>(data.constData()),
                                 unsigned(data.size()), level, 0, 0) != BZ_OK)
        return QByteArray();
    out.truncate(int(size));
    return out;
}

QByteArray text(int size, quint32 seed)
{
    static const char *const words[] = {"salt", "marsh", "tide", "orvex", "ledger", "42", "\n"};
    QRandomGenerator generator(seed);
    QByteArray out;
    while (out.size() < size) {
        out += words[generator.bounded(7)];
        out += ' ';
    }
    out.truncate(size);
    return out;
}

QByteArray text_lines(int count)
{
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += "line " + QByteArray::number(i) + " of the table\n";
    return text;
}

QByteArray noise(int size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(out.data()), size / 4);
    return out;
}

std::string to_bits(const QByteArray &bytes)
{
    std::string bits;
    for (const char byte : bytes)
        for (int i = 7; i >= 0; --i)
            bits += (uchar(byte) >> i) & 1 ? '1' : '0';
    return bits;
}

QByteArray from_bits(const std::string &bits)
{
    QByteArray bytes(int(bits.size() / 8), '\0');
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1')
            bytes[int(i / 8)] = char(uchar(bytes[int(i / 8)]) | (0x80 >> (i % 8)));
    return bytes;
}

std::string number_bits(quint64 value, int count)
{
    std::string bits;
    for (int i = count - 1; i >= 0; --i)
        bits += (value >> i) & 1 ? '1' : '0';
    return bits;
}

// The archive with a block magic and an end-of-stream magic inside its first
// block, off any boundary. They go in as extra selectors after the block's
// real ones (unary codes read and then not used), so libbzip2 decodes the
// archive to the same bytes. The insertion is a whole number of bytes long.
QByteArray with_false_magics(const QByteArray &archive)
{
    std::string bits = to_bits(archive);
    size_t at = 32 + 48 + 32 + 1 + 24;
    const int in_use = std::stoi(bits.substr(at, 16), nullptr, 2);
    at += 16 + 16 * size_t(qPopulationCount(quint32(in_use))) + 3;
    const size_t count_at = at;
    const int selectors = std::stoi(bits.substr(at, 15), nullptr, 2);
    at += 15;
    for (int i = 0; i < selectors; ++i) {
        while (bits[at] == '1')
            ++at;
        ++at;
    }
    std::string extra =
        number_bits(0x314159265359ULL, 48) + "0" + number_bits(0x177245385090ULL, 48) + "0";
    extra += std::string(8 - extra.size() % 8, '0');
    const int added = int(std::count(extra.begin(), extra.end(), '0'));
    bits.insert(at, extra);
    bits.replace(count_at, 15, number_bits(quint64(selectors + added), 15));
    return from_bits(bits);
}

QByteArray flipped(QByteArray data, int at)
{
    data[at] = char(data[at] ^ 0x10);
    return data;
}

// The bits of a one-block archive's block: from its magic to the end marker.
qint64 block_bits(const QByteArray &archive)
{
    const std::string bits = to_bits(archive);
    const std::string end = number_bits(0x177245385090ULL, 48);
    for (size_t padding = 0; padding < 8; ++padding) {
        const size_t at = bits.size() - 80 - padding;
        if (bits.compare(at, 48, end) == 0)
            return qint64(at) - 32;
    }
    return -1;
}

} // namespace

class TestBzip2 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void same_as_libbzip2_data();
    void same_as_libbzip2();
    void output_limit_data();
    void output_limit();
    void sink_refusal_stops();
    void source_failure_is_io_error();
    void fast_block_decoder_data();
    void fast_block_decoder();
    void fast_block_decoder_stops();
    void encoder_output_reads_back_data();
    void encoder_output_reads_back();
    void encoder_handles_rotation_corner_cases();
    void parallel_encoder_joins_pieces_data();
    void parallel_encoder_joins_pieces();
    void coders_on_threads_that_end();

private:
    QByteArray small; // one block
    QByteArray many; // many blocks, level 1
};

void TestBzip2::initTestCase()
{
    small = compress(text(60000, 1), 9);
    many = compress(text(3 << 20, 2), 1);
    QVERIFY(!small.isEmpty() && !many.isEmpty());
}

void TestBzip2::same_as_libbzip2_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<Bz2Status>("status");

    const QByteArray second = compress(noise(300000, 3), 1);
    QTest::newRow("one block") << small << Bz2Status::Ok;
    QTest::newRow("many blocks") << many << Bz2Status::Ok;
    QTest::newRow("random data") << second << Bz2Status::Ok;
    QTest::newRow("two blocks at level 9") << compress(text(1500000, 4), 9) << Bz2Status::Ok;
    QTest::newRow("long runs") << compress(QByteArray(40 << 20, 'z'), 9) << Bz2Status::Ok;
    QTest::newRow("empty stream") << compress(QByteArray(), 9) << Bz2Status::Ok;
    QTest::newRow("concatenated, levels 9 and 1")
        << small + second + compress(QByteArray(), 5) + many << Bz2Status::Ok;
    QTest::newRow("trailing text") << small + QByteArray("<html>") << Bz2Status::Ok;
    QTest::newRow("trailing zeros") << second + QByteArray(100, '\0') << Bz2Status::Ok;
    QTest::newRow("trailing bad level") << small + QByteArray("BZh0") << Bz2Status::Ok;
    QTest::newRow("trailing partial header") << small + QByteArray("BZ") << Bz2Status::CutShort;
    QTest::newRow("trailing header alone") << small + QByteArray("BZh9") << Bz2Status::CutShort;
    QTest::newRow("false magics, one block") << with_false_magics(small) << Bz2Status::Ok;
    QTest::newRow("false magics, many blocks") << with_false_magics(many) + small << Bz2Status::Ok;

    QTest::newRow("not bzip2") << QByteArray("<html><body>404</body></html>")
                               << Bz2Status::NotBzip2;
    QTest::newRow("bad level") << QByteArray("BZh0") + small.mid(4) << Bz2Status::NotBzip2;
    QTest::newRow("empty") << QByteArray() << Bz2Status::CutShort;
    QTest::newRow("header only") << QByteArray("BZh9") << Bz2Status::CutShort;
    for (const int cut : {3, 9, 40, 1000, many.size() / 2, many.size() - 5, many.size() - 1})
        QTest::addRow("cut at %d", cut) << many.left(cut) << Bz2Status::CutShort;
    QTest::newRow("block magic damaged") << flipped(small, 6) << Bz2Status::Damaged;
    QTest::newRow("block crc damaged") << flipped(many, 11) << Bz2Status::Damaged;
    QTest::newRow("stream crc damaged") << flipped(small, small.size() - 2) << Bz2Status::Damaged;
    QTest::newRow("data damaged") << flipped(many, many.size() / 2) << Bz2Status::Damaged;
    QTest::newRow("second stream damaged")
        << small + flipped(second, second.size() / 3) << Bz2Status::Damaged;
}

void TestBzip2::same_as_libbzip2()
{
    QFETCH(QByteArray, archive);
    QFETCH(Bz2Status, status);
    const Bz2Reference reference = bz2_reference_decode(archive);
    QCOMPARE(reference.code, bz2_library_code(status));
    // Whole reads, odd pieces, and single bytes for the smaller archives.
    QList<qint64> steps = {1 << 20, 7777};
    if (archive.size() < 100000)
        steps << 1;
    for (const qint64 step : steps) {
        MemorySource source(archive, step);
        MemorySink sink;
        const Bz2DecodeResult result = ParallelBz2Decoder(3).decode(source, sink);
        QVERIFY(result.status == status);
        if (status == Bz2Status::Ok) {
            QVERIFY(sink.bytes == reference.output);
            QCOMPARE(result.output_bytes, qint64(reference.output.size()));
        }
    }
    // The decoder for small archives held in memory agrees.
    MemorySink sink;
    QVERIFY(SequentialBz2Decoder::decode(archive, sink).status == status);
    if (status == Bz2Status::Ok)
        QVERIFY(sink.bytes == reference.output);
}

void TestBzip2::output_limit_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<Bz2Status>("status");
    const qint64 size = 3 << 20;
    QTest::newRow("none") << qint64(-1) << Bz2Status::Ok;
    QTest::newRow("zero") << qint64(0) << Bz2Status::OutputTooLarge;
    QTest::newRow("inside a block") << qint64(12345) << Bz2Status::OutputTooLarge;
    QTest::newRow("one byte short") << size - 1 << Bz2Status::OutputTooLarge;
    QTest::newRow("exact") << size << Bz2Status::Ok;
}

void TestBzip2::output_limit()
{
    QFETCH(qint64, limit);
    QFETCH(Bz2Status, status);
    MemorySource source(many, 1 << 16);
    MemorySink sink;
    MemorySink memory_sink;
    const QByteArray expected = text(3 << 20, 2);
    for (const Bz2DecodeResult &result :
         {ParallelBz2Decoder().decode(source, sink, limit),
          SequentialBz2Decoder::decode(many, memory_sink, limit)}) {
        QVERIFY(result.status == status);
        QCOMPARE(result.output_bytes, qint64(limit < 0 ? expected.size() : limit));
    }
    for (const MemorySink *out : {&sink, &memory_sink})
        QVERIFY(out->bytes == (limit < 0 ? expected : expected.left(int(limit))));
}

void TestBzip2::sink_refusal_stops()
{
    MemorySource source(many, 1 << 20);
    MemorySink sink(500000);
    const Bz2DecodeResult result = ParallelBz2Decoder().decode(source, sink);
    QVERIFY(result.status == Bz2Status::SinkRefused);
    QVERIFY(sink.bytes == text(3 << 20, 2).left(sink.bytes.size()));
}

void TestBzip2::source_failure_is_io_error()
{
    for (const qint64 fail_at : {qint64(0), qint64(100), qint64(many.size() - 1)}) {
        MemorySource source(many, 4096, fail_at);
        MemorySink sink;
        QVERIFY(ParallelBz2Decoder().decode(source, sink).status == Bz2Status::SourceFailed);
    }
}

void TestBzip2::fast_block_decoder_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("damage"); // a bit of the archive flipped, or -1

    QByteArray all_values;
    for (int i = 0; i < 256 * 40; ++i)
        all_values += char(i * 7 % 256);
    const QByteArray runs = QByteArray(3000, 'a') + "bcd" + QByteArray(70000, '\0') + "eeee";
    QTest::newRow("text") << text(800000, 5) << 9 << -1;
    QTest::newRow("text, level 1") << text(99000, 6) << 1 << -1;
    QTest::newRow("random") << noise(600000, 7) << 9 << -1;
    QTest::newRow("all byte values") << all_values << 9 << -1;
    QTest::newRow("runs, four at the end") << runs << 9 << -1;
    QTest::newRow("runs beyond a chunk") << QByteArray(5 << 20, 'z') + text(9000, 8) << 9 << -1;
    QTest::newRow("one byte") << QByteArray("x") << 1 << -1;
    QTest::newRow("four bytes") << QByteArray("qqqq") << 1 << -1;
    // Magic, CRC, randomised flag, origin (lowest bit: only the CRC tells),
    // tables, and data.
    for (const int bit : {43, 100, 112, 136, 323, 2403, 160003})
        QTest::addRow("bit %d flipped", bit) << text(200000, 9) << 9 << bit;
}

// The fast decoder gives libbzip2's output for the same bit range, or
// declines without output where libbzip2 fails.
void TestBzip2::fast_block_decoder()
{
    QFETCH(QByteArray, data);
    QFETCH(int, level);
    QFETCH(int, damage);
    QByteArray archive = compress(data, level);
    const qint64 bits = block_bits(archive);
    QVERIFY(bits > 0);
    if (damage >= 0)
        archive[damage / 8] = char(archive[damage / 8] ^ (0x80 >> damage % 8));
    // The block cut out at an odd bit offset, as the scanner finds blocks.
    const std::string archive_bits = to_bits(archive);
    const QByteArray raw = from_bits("101" + archive_bits.substr(32, size_t(bits)) + "11111");
    const quint32 crc = quint32(std::stoul(archive_bits.substr(80, 32), nullptr, 2));
    const auto collect = [](QByteArray *out) {
        return [out](QByteArray &chunk) {
            if (chunk.size() > Bz2BlockDecoder::CHUNK_SIZE)
                return false;
            *out += chunk;
            return true;
        };
    };
    QByteArray expected;
    Bz2BlockDecoder library;
    const Bz2BlockDecoder::Result library_result = library.decode(
        Bz2BlockDecoder::block_stream(raw, 3, bits, level, true, crc), collect(&expected));
    const bool library_decoded = library_result.end == Bz2BlockDecoder::Result::End::Complete;

    Bz2FastBlockDecoder fast;
    for (const qint64 count : {bits, bits - 1, bits + 1}) {
        QByteArray output;
        const auto result = fast.decode(raw, 3, count, level, collect(&output));
        if (count == bits && library_decoded) {
            QVERIFY(result == Bz2FastBlockDecoder::Result::Decoded);
            QVERIFY(output == expected);
            if (damage < 0)
                QVERIFY(output == data);
        } else {
            QVERIFY(result == Bz2FastBlockDecoder::Result::Declined);
            QVERIFY(output.isEmpty());
        }
    }
}

void TestBzip2::fast_block_decoder_stops()
{
    const QByteArray archive = compress(QByteArray(3 << 20, 'r'), 9);
    const qint64 bits = block_bits(archive);
    int chunks = 0;
    Bz2FastBlockDecoder fast;
    const auto result = fast.decode(archive.mid(4), 0, bits, 9, [&](QByteArray &) {
        return ++chunks < 2;
    });
    QVERIFY(result == Bz2FastBlockDecoder::Result::Stopped);
    QCOMPARE(chunks, 2);
}

void TestBzip2::encoder_output_reads_back_data()
{
    QTest::addColumn<QByteArray>("data");
    QByteArray all_bytes;
    for (int i = 0; i < 300000; ++i)
        all_bytes += char(quint32(i) * 7919u % 256u ^ quint32(i) >> 12);
    QByteArray fours; // each run of 4 takes 5 bytes: 899 000 need two blocks
    for (int i = 0; fours.size() < 899000; ++i)
        fours += QByteArray(4, char('a' + i % 3));
    QByteArray long_runs;
    for (int i = 1; long_runs.size() < 700000; ++i)
        long_runs += QByteArray(i % 1000, char(i));
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("text") << text_lines(30000);
    QTest::newRow("every byte value") << all_bytes;
    QTest::newRow("runs of four grow into a second block") << fours;
    QTest::newRow("runs past 255 bytes") << long_runs;
    QTest::newRow("zeros: a power of one short word") << QByteArray(899000, '\0');
    QTest::newRow("two bytes repeated") << QByteArray("ab").repeated(449500);
}

// What our encoder writes is one bzip2 stream that libbzip2 decodes back to
// the input (which refuses a block of more than 900 000 bytes).
void TestBzip2::encoder_output_reads_back()
{
    QFETCH(QByteArray, data);
    Bz2StreamEncoder encoder;
    const QByteArray archive = encoder.encode(data.constData(), size_t(data.size()));
    QVERIFY(archive.startsWith("BZh9"));
    QCOMPARE(archive.count(QByteArray("BZh9")), 1);
    const Bz2Reference decoded = bz2_reference_decode(archive);
    QCOMPARE(decoded.code, 0);
    QVERIFY(decoded.output == data);
}

// Blocks are sorted as rotations through their smallest one; short words over
// two or three letters hit every way that can go wrong (a block that is a
// power of a shorter word, a smallest rotation in the middle, equal
// rotations), one encoder serving them all in turn.
void TestBzip2::encoder_handles_rotation_corner_cases()
{
    Bz2StreamEncoder encoder;
    QRandomGenerator random(17);
    for (int round = 0; round < 3000; ++round) {
        const int letters = 2 + round % 2;
        QByteArray word(1 + int(random.bounded(round < 2000 ? 12 : 3000)), Qt::Uninitialized);
        for (char &c : word)
            c = char('a' + random.bounded(letters));
        if (round % 5 == 0)
            word = word.repeated(1 + int(random.bounded(6)));
        const QByteArray archive = encoder.encode(word.constData(), size_t(word.size()));
        const Bz2Reference decoded = bz2_reference_decode(archive);
        if (decoded.code != 0 || decoded.output != word)
            QFAIL(qPrintable("not read back: " + word.left(200)));
    }
}

void TestBzip2::parallel_encoder_joins_pieces_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("threads");
    QTest::newRow("empty") << QByteArray() << 2;
    QTest::newRow("one piece") << text_lines(100) << 2;
    QTest::newRow("four small pieces") << text_lines(40000) << 2;
    // More pieces than the window holds: the oldest are written while the
    // later ones are still on the pool.
    QTest::newRow("many pieces, one thread") << text_lines(200000) << 1;
}

// Pieces compressed apart on a pool come out as one stream, in order.
void TestBzip2::parallel_encoder_joins_pieces()
{
    QFETCH(QByteArray, data);
    QFETCH(int, threads);
    QThreadPool pool;
    pool.setMaxThreadCount(threads);
    QBuffer archive;
    QVERIFY(archive.open(QIODevice::WriteOnly));
    {
        Bz2ParallelEncoder encoder(&archive, &pool, data.size());
        for (int at = 0; at < data.size(); at += encoder.piece_size())
            QVERIFY(encoder.add(data.mid(at, encoder.piece_size())));
        QVERIFY(encoder.finish());
    }
    QCOMPARE(archive.data().count(QByteArray("BZh9")), 1);
    const Bz2Reference decoded = bz2_reference_decode(archive.data());
    QCOMPARE(decoded.code, 0);
    QVERIFY(decoded.output == data);
}

// Threads that code and then end, one after another, as a pool's idle
// threads expire: each keeps its coder while it runs, and the coder goes
// with the thread without harm (a thread-local object's destructor at
// thread exit has crashed and hung MinGW's pool threads).
void TestBzip2::coders_on_threads_that_end()
{
    QByteArray data;
    for (int i = 0; i < 20000; ++i)
        data += QByteArray::number(i * 7919 % 10007) + ' ';
    const QByteArray archive = compress(data, 9);
    for (int round = 0; round < 40; ++round) {
        QThreadPool pool;
        pool.setMaxThreadCount(2);
        pool.setExpiryTimeout(0); // a thread ends as soon as it is idle
        QByteArray encoded, decoded;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            QBuffer out;
            out.open(QIODevice::WriteOnly);
            {
                Bz2ParallelEncoder encoder(&out, &pool, data.size());
                for (int at = 0; at < data.size(); at += encoder.piece_size())
                    encoder.add(data.mid(at, encoder.piece_size()));
                encoder.finish();
            }
            encoded = out.data();
            MemorySink sink;
            SequentialBz2Decoder::decode(archive, sink);
            decoded = sink.bytes;
        }));
        thread->start();
        QVERIFY2(thread->wait(60000), "a coding thread did not end");
        QVERIFY(pool.waitForDone(60000));
        QVERIFY(decoded == data);
        QVERIFY(bz2_reference_decode(encoded).output == data);
    }
}

QTEST_GUILESS_MAIN(TestBzip2)
#include "tst_bzip2.moc"
