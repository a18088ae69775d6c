#pragma once

#include "bz2_block_decoder.h"
#include "bz2_fast_block_decoder.h"

struct Bz2BlockTask;

// Decodes a planned block: the fast decoder first, libbzip2 when it declines,
// so a block the fast decoder cannot vouch for gets libbzip2's verdict. Both
// keep their buffers from one block to the next.
class Bz2TaskDecoder
{
public:
    // consume as for Bz2BlockDecoder::decode.
    Bz2BlockDecoder::Result decode(const Bz2BlockTask &task,
                                   const std::function<bool(QByteArray &)> &consume);

private:
    Bz2FastBlockDecoder fast;
    Bz2BlockDecoder library;
};
