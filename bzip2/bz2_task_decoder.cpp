#include "bz2_task_decoder.h"

#include "bz2_block_task.h"

Bz2BlockDecoder::Result Bz2TaskDecoder::decode(const Bz2BlockTask &task,
                                               const std::function<bool(QByteArray &)> &consume)
{
    using End = Bz2BlockDecoder::Result::End;
    const int first_bit = int(task.start_bit % 8);
    const qint64 bit_count = task.end_bit - task.start_bit;
    Bz2BlockDecoder::Result result;
    switch (fast.decode(task.raw, first_bit, bit_count, task.level, consume)) {
    case Bz2FastBlockDecoder::Result::Decoded:
        result.end = End::Complete;
        return result;
    case Bz2FastBlockDecoder::Result::Stopped:
        result.end = End::Stopped;
        return result;
    case Bz2FastBlockDecoder::Result::Declined:
        break;
    }
    const QByteArray stream = Bz2BlockDecoder::block_stream(task.raw, first_bit, bit_count,
                                                            task.level, true, task.crc);
    return library.decode(stream, consume);
}
