#pragma once

#include "bz2_input_window.h"
#include "bz2_limited_output.h"
#include "bz2_magic_scanner.h"
#include "bz2_status.h"
#include "bz2_task_decoder.h"
#include "bz2_worker_pool.h"
#include "parallel_bz2_decoder.h"

#include <deque>
#include <memory>

class ByteSink;
class ByteSource;

// One decode of ParallelBz2Decoder. A planner walks the input's structure
// (stream headers, blocks, end-of-stream markers) ahead of the output and
// queues a task for each candidate block, from one magic to the next; the
// calling thread takes the planned items in order, checks them and writes
// the output. A candidate block that fails was either damaged or cut short
// by a magic that occurs by chance inside the data: it is extended to the
// next magic and decoded again, until it decodes or cannot be extended, and
// then libbzip2 itself tells the error.
class Bz2DecodeRun
{
public:
    Bz2DecodeRun(ByteSource &source, ByteSink &sink, qint64 output_limit, int threads);
    Bz2DecodeResult run();

private:
    struct Item
    {
        enum Kind { Block, StreamEnd, Finish } kind = Finish;
        std::shared_ptr<Bz2BlockTask> task;
        quint32 stored_crc = 0; // StreamEnd
        Bz2Status status = Bz2Status::Ok; // Finish
    };
    enum class Plan { Progress, NeedInput, Wait };
    enum class Magic { Block, StreamEnd, Bad, NeedInput, Cut };

    Plan plan_step();
    Plan plan_header();
    Plan plan_block();
    Magic read_magic(qint64 bit) const;
    void finish_plan(Bz2Status status);
    void read_more();
    void release_input();
    Bz2Status eof_status() const;

    // Handles a finished head block; returns false when the run ends.
    bool take_block(const std::shared_ptr<Bz2BlockTask> &task);
    bool write_output(const char *data, qint64 size);
    bool decode_to_output(const Bz2BlockTask &task);
    Bz2Status failure_status(const Bz2BlockTask &task);
    void restart_at(const Bz2BlockTask &task);

    Bz2LimitedOutput output;
    const int max_blocks_ahead;
    Bz2InputWindow window;
    Bz2MagicScanner scanner;
    Bz2WorkerPool pool;
    std::unique_ptr<Bz2TaskDecoder> block_decoder; // for blocks decoded again here

    // Planner state.
    enum class Mode { Header, Blocks, Done } mode = Mode::Header;
    qint64 cursor = 0; // bit position of the next structure to plan
    int level = 9;
    bool first_stream = true;
    qint64 extend_past = -1; // a restarted block must reach beyond this bit
    std::deque<Item> items;
    int blocks_planned = 0;

    // Consumer state.
    quint32 combined_crc = 0;
    Bz2Status status = Bz2Status::Ok;
};
