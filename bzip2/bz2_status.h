#pragma once

#include <QtGlobal>

// How a decode ended. The codec's own vocabulary: the program that uses it
// turns these into its error codes and texts.
enum class Bz2Status {
    Ok, // every stream decoded; bytes after the last one that begin no stream are ignored
    NotBzip2, // the input does not begin with a bzip2 stream
    Damaged, // a stream is damaged (a bad table, length, CRC or marker)
    CutShort, // the input ends inside a stream, or there is no input at all
    SourceFailed, // the source failed or was cancelled
    OutOfMemory,
    SinkRefused, // the sink did not take the output
    OutputTooLarge, // the output would pass the caller's limit
};

// The outcome of one decode: the status and how many bytes the sink took.
struct Bz2DecodeResult
{
    Bz2Status status = Bz2Status::Ok;
    qint64 output_bytes = 0;
};

// A libbzip2 return code as a status (BZ_DATA_ERROR_MAGIC, BZ_MEM_ERROR;
// every other failure is damage).
Bz2Status bz2_status_of_library_code(int code);
