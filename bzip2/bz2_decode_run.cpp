#include "bz2_decode_run.h"

#include "bz2_format.h"

namespace {

// A block magic, its CRC, the randomised flag and the origin pointer: no
// block ends before that.
constexpr qint64 BLOCK_HEADER_BITS = 48 + 32 + 1 + 24;
// The farthest a real block reaches: at most 18002 groups of 50 symbols of up
// to 20 bits, plus selectors and code tables, with ample room. A range longer
// than this without a decodable block is damaged.
constexpr qint64 MAX_BLOCK_BITS = qint64(4) << 20 << 3;

int magic_byte(quint64 magic, int index)
{
    return int((magic >> (40 - 8 * index)) & 0xff);
}

} // namespace

Bz2DecodeRun::Bz2DecodeRun(ByteSource &source, ByteSink &sink, qint64 output_limit, int threads)
    : output(sink, output_limit)
    , max_blocks_ahead(2 * qMax(1, threads) + 2)
    , window(source)
    , pool(threads)
{
}

Bz2Status Bz2DecodeRun::eof_status() const
{
    return window.failed() ? Bz2Status::SourceFailed : Bz2Status::CutShort;
}

void Bz2DecodeRun::finish_plan(Bz2Status finish_status)
{
    Item item;
    item.kind = Item::Finish;
    item.status = finish_status;
    items.push_back(item);
    mode = Mode::Done;
}

// Reads a magic byte by byte, as libbzip2 does: a wrong first byte is a
// damaged stream even when the input ends right after it.
Bz2DecodeRun::Magic Bz2DecodeRun::read_magic(qint64 bit) const
{
    quint64 magic = 0;
    for (int i = 0; i < 6; ++i) {
        if (bit + 8 * (i + 1) > window.end_bit())
            return window.finished() ? Magic::Cut : Magic::NeedInput;
        const int value = int(window.bits(bit + 8 * i, 8));
        if (i == 0) {
            if (value == magic_byte(BZ2_BLOCK_MAGIC, 0))
                magic = BZ2_BLOCK_MAGIC;
            else if (value == magic_byte(BZ2_END_MAGIC, 0))
                magic = BZ2_END_MAGIC;
            else
                return Magic::Bad;
        } else if (value != magic_byte(magic, i)) {
            return Magic::Bad;
        }
    }
    return magic == BZ2_BLOCK_MAGIC ? Magic::Block : Magic::StreamEnd;
}

Bz2DecodeRun::Plan Bz2DecodeRun::plan_header()
{
    const qint64 at = cursor / 8;
    static const char expected[] = "BZh";
    for (int i = 0; i < 4; ++i) {
        if (at + i >= window.end()) {
            if (!window.finished())
                return Plan::NeedInput;
            // A complete stream followed by nothing ends the input well.
            finish_plan(i == 0 && !first_stream ? Bz2Status::Ok : eof_status());
            return Plan::Progress;
        }
        const char value = char(window.data()[at + i - window.begin()]);
        const bool good = i < 3 ? value == expected[i] : value >= '1' && value <= '9';
        if (!good) {
            // Not a stream: the input is not bzip2, or what follows a complete
            // stream is trailing data that is ignored.
            finish_plan(first_stream ? Bz2Status::NotBzip2 : Bz2Status::Ok);
            return Plan::Progress;
        }
    }
    level = window.data()[at + 3 - window.begin()] - '0';
    first_stream = false;
    cursor = (at + 4) * 8;
    mode = Mode::Blocks;
    return Plan::Progress;
}

Bz2DecodeRun::Plan Bz2DecodeRun::plan_block()
{
    switch (read_magic(cursor)) {
    case Magic::NeedInput:
        return Plan::NeedInput;
    case Magic::Cut:
        finish_plan(eof_status());
        return Plan::Progress;
    case Magic::Bad:
        finish_plan(Bz2Status::Damaged);
        return Plan::Progress;
    case Magic::StreamEnd: {
        if (cursor + 80 > window.end_bit()) {
            if (!window.finished())
                return Plan::NeedInput;
            finish_plan(eof_status());
            return Plan::Progress;
        }
        Item item;
        item.kind = Item::StreamEnd;
        item.stored_crc = window.bits(cursor + 48, 32);
        items.push_back(item);
        cursor = (cursor + 80 + 7) / 8 * 8;
        mode = Mode::Header;
        return Plan::Progress;
    }
    case Magic::Block:
        break;
    }
    if (blocks_planned >= max_blocks_ahead)
        return Plan::Wait;
    auto task = std::make_shared<Bz2BlockTask>();
    task->start_bit = cursor;
    task->level = level;
    const qint64 reach = cursor + MAX_BLOCK_BITS;
    const Bz2Candidate *next = scanner.next_after(qMax(cursor + BLOCK_HEADER_BITS, extend_past));
    if (next && next->bit <= reach) {
        task->end_bit = next->bit;
    } else if (window.finished() && window.end_bit() <= reach) {
        task->end_bit = window.end_bit();
        task->open_end = true;
        task->ends_at_input_end = true;
    } else if (scanner.scanned_bits() > reach) {
        task->end_bit = reach;
        task->open_end = true;
    } else {
        return Plan::NeedInput;
    }
    task->raw = window.copy(task->start_bit / 8, (task->end_bit + 7) / 8);
    if (task->start_bit + 80 <= task->end_bit)
        task->crc = window.bits(task->start_bit + 48, 32);
    pool.submit(task);
    Item item;
    item.kind = Item::Block;
    item.task = task;
    items.push_back(item);
    ++blocks_planned;
    cursor = task->end_bit;
    extend_past = -1;
    return Plan::Progress;
}

Bz2DecodeRun::Plan Bz2DecodeRun::plan_step()
{
    switch (mode) {
    case Mode::Header:
        return plan_header();
    case Mode::Blocks:
        return plan_block();
    case Mode::Done:
        break;
    }
    return Plan::Wait;
}

void Bz2DecodeRun::read_more()
{
    window.fill();
    scanner.scan(window);
}

void Bz2DecodeRun::release_input()
{
    qint64 keep = cursor;
    for (const Item &item : items) {
        if (item.kind == Item::Block) {
            keep = qMin(keep, item.task->start_bit);
            break;
        }
    }
    window.release_before(keep / 8);
    scanner.release_before(keep);
}

bool Bz2DecodeRun::write_output(const char *data, qint64 size)
{
    if (output.write(data, size))
        return true;
    status = output.status();
    return false;
}

// Decodes a checked block once more, straight to the output: its output was
// too large to hold.
bool Bz2DecodeRun::decode_to_output(const Bz2BlockTask &task)
{
    const auto write = [&](QByteArray &chunk) {
        return write_output(chunk.constData(), chunk.size());
    };
    if (!block_decoder)
        block_decoder = std::make_unique<Bz2TaskDecoder>();
    const Bz2BlockDecoder::Result result = block_decoder->decode(task, write);
    using End = Bz2BlockDecoder::Result::End;
    if (result.end == End::Complete)
        return true;
    if (result.end != End::Stopped)
        status = result.end == End::Failed ? result.failure : Bz2Status::Damaged;
    return false;
}

// The error libbzip2 reports for a block that cannot be extended: decodes the
// range without an end marker, as the library would read it in sequence.
Bz2Status Bz2DecodeRun::failure_status(const Bz2BlockTask &task)
{
    Bz2BlockDecoder decoder;
    const QByteArray stream = Bz2BlockDecoder::block_stream(
        task.raw, int(task.start_bit % 8), task.end_bit - task.start_bit, task.level, false, 0);
    const Bz2BlockDecoder::Result result = decoder.decode(stream, [](QByteArray &) { return true; });
    using End = Bz2BlockDecoder::Result::End;
    if (result.end == End::NeedsInput)
        return task.ends_at_input_end ? eof_status() : Bz2Status::Damaged;
    return result.end == End::Failed ? result.failure : Bz2Status::Damaged;
}

// Drops everything planned and plans again from the failed block's start,
// this time up to a later magic.
void Bz2DecodeRun::restart_at(const Bz2BlockTask &task)
{
    for (const Item &item : items) {
        if (item.kind == Item::Block)
            pool.cancel(item.task);
    }
    items.clear();
    blocks_planned = 0;
    cursor = task.start_bit;
    level = task.level;
    mode = Mode::Blocks;
    extend_past = task.end_bit;
}

bool Bz2DecodeRun::take_block(const std::shared_ptr<Bz2BlockTask> &task)
{
    using End = Bz2BlockDecoder::Result::End;
    const Bz2BlockDecoder::Result &result = task->result;
    if (result.end != End::Complete) {
        const bool failed = result.end == End::Failed;
        if (failed && result.failure == Bz2Status::OutOfMemory) {
            status = Bz2Status::OutOfMemory;
            return false;
        }
        // libbzip2 reads its input a byte at a time as it needs bits. When it
        // failed before reading any bit at or past the range's end, a longer
        // range fails the same way: the block is damaged.
        const qint64 real_bits = 32 + task->end_bit - task->start_bit;
        if (failed && result.consumed * 8 <= real_bits) {
            status = result.failure;
            return false;
        }
        if (task->open_end) {
            status = failure_status(*task);
            return false;
        }
        restart_at(*task);
        return true;
    }
    combined_crc = (combined_crc << 1 | combined_crc >> 31) ^ task->crc;
    const std::vector<QByteArray> chunks = pool.take_output(task);
    items.pop_front();
    --blocks_planned;
    if (task->overflowed) {
        if (!decode_to_output(*task))
            return false;
    } else {
        for (const QByteArray &chunk : chunks) {
            if (!write_output(chunk.constData(), chunk.size()))
                return false;
        }
    }
    release_input();
    return true;
}

Bz2DecodeResult Bz2DecodeRun::run()
{
    for (;;) {
        Plan plan = Plan::Progress;
        while ((plan = plan_step()) == Plan::Progress) { }
        if (items.empty()) {
            // Nothing planned yet: the planner waits for input.
            if (window.finished()) {
                status = eof_status(); // not reached: the planner handles the end itself
                break;
            }
            read_more();
            continue;
        }
        Item &front = items.front();
        if (front.kind == Item::Finish) {
            status = front.status;
            break;
        }
        if (front.kind == Item::StreamEnd) {
            if (front.stored_crc != combined_crc) {
                status = Bz2Status::Damaged;
                break;
            }
            combined_crc = 0;
            items.pop_front();
            release_input();
            continue;
        }
        const std::shared_ptr<Bz2BlockTask> task = front.task;
        pool.make_head(task);
        // Read ahead while the head decodes, as long as the planner has room.
        if (plan == Plan::NeedInput && !pool.is_done(task)) {
            read_more();
            continue;
        }
        pool.wait_done(task);
        if (!take_block(task))
            break;
    }
    for (const Item &item : items) {
        if (item.kind == Item::Block)
            pool.cancel(item.task);
    }
    return {status, output.written()};
}
