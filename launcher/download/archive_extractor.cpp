#include "download/archive_extractor.h"

#include "app/constants.h"

#include <QFileInfo>

#include <bzlib.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kBufferSize = 4096;

// True when the stdio stream has no byte left; leaves the stream position as
// it was.
bool at_end(FILE *stream)
{
    const int c = std::fgetc(stream);
    if (c == EOF)
        return true;
    std::ungetc(c, stream);
    return false;
}

class ExtractJob
{
public:
    ExtractJob(const QString &archive_path, const QString &target_path)
        : archive_path(archive_path)
        , target_path(target_path)
        , archive_name(QFileInfo(archive_path).fileName())
    {
    }

    ~ExtractJob()
    {
        int ignored = BZ_OK;
        if (handle)
            BZ2_bzReadClose(&ignored, handle);
        if (input)
            std::fclose(input);
        if (output)
            std::fclose(output);
    }

    ExtractOutcome run();

private:
    void fail(int code, const QString &text) { outcome = {code, text.arg(archive_name, 0, ' ')}; }
    bool open_stream();
    enum class StreamEnd { Complete, Failed, NotAStream };
    // Decompresses the open stream to its end into the target.
    StreamEnd copy_stream(bool first_stream);
    bool keep_unused_and_close();
    ExtractOutcome finish();

    const QString archive_path;
    const QString target_path;
    const QString archive_name;
    FILE *input = nullptr;
    FILE *output = nullptr;
    BZFILE *handle = nullptr;
    int error = BZ_OK;
    char unused[BZ_MAX_UNUSED];
    int unused_count = 0;
    char buffer[kBufferSize];
    ExtractOutcome outcome;
};

bool ExtractJob::open_stream()
{
    handle = BZ2_bzReadOpen(&error, input, 0, 0, unused_count > 0 ? unused : nullptr, unused_count);
    if (error == BZ_OK)
        return true;
    // A failed open still leaves a handle to release in some library versions.
    if (handle) {
        int ignored = BZ_OK;
        BZ2_bzReadClose(&ignored, handle);
        handle = nullptr;
    }
    fail(error, TEXT_EXTRACT_FAILED);
    return false;
}

ExtractJob::StreamEnd ExtractJob::copy_stream(bool first_stream)
{
    while (error == BZ_OK) {
        const int count = BZ2_bzRead(&error, handle, buffer, kBufferSize);
        // After a complete stream, bytes without the stream signature are
        // trailing data, not a damaged archive.
        if (error == BZ_DATA_ERROR_MAGIC && !first_stream)
            return StreamEnd::NotAStream;
        if (error != BZ_OK && error != BZ_STREAM_END) {
            fail(error, TEXT_EXTRACT_FAILED);
            return StreamEnd::Failed;
        }
        if (count > 0 && std::fwrite(buffer, 1, size_t(count), output) != size_t(count)) {
            fail(904, TEXT_EXTRACT_FAILED);
            return StreamEnd::Failed;
        }
    }
    return StreamEnd::Complete;
}

// Copies the bytes that the library read past the end of the stream (the
// start of a following stream, if any) and releases the handle.
bool ExtractJob::keep_unused_and_close()
{
    void *rest = nullptr;
    BZ2_bzReadGetUnused(&error, handle, &rest, &unused_count);
    if (error != BZ_OK) {
        fail(error, TEXT_EXTRACT_FAILED);
        return false;
    }
    std::memcpy(unused, rest, size_t(unused_count));
    int ignored = BZ_OK;
    BZ2_bzReadClose(&ignored, handle);
    handle = nullptr;
    return true;
}

// Closes the target on success: a write that fails only when the last buffered
// bytes are flushed (a full disk) is a short write too, not a success.
ExtractOutcome ExtractJob::finish()
{
    const bool closed = std::fclose(output) == 0;
    output = nullptr;
    if (outcome.code == 0 && !closed)
        fail(904, TEXT_EXTRACT_FAILED);
    return outcome;
}

ExtractOutcome ExtractJob::run()
{
    input = std::fopen(archive_path.toStdString().c_str(), "rb");
    if (!input) {
        fail(903, TEXT_OPEN_READ_FAILED);
        return outcome;
    }
    if (!open_stream())
        return outcome;
    output = std::fopen(target_path.toStdString().c_str(), "wb");
    if (!output) {
        fail(902, TEXT_OPEN_WRITE_FAILED);
        return outcome;
    }
    for (bool first = true;; first = false) {
        if (!first && !open_stream())
            return outcome;
        const StreamEnd end = copy_stream(first);
        if (end == StreamEnd::Failed)
            return outcome;
        if (end == StreamEnd::NotAStream)
            return finish();
        if (!keep_unused_and_close())
            return outcome;
        if (unused_count == 0 && at_end(input))
            return finish();
        error = BZ_OK;
    }
}

} // namespace

ExtractOutcome extract_archive(const QString &archive_path, const QString &target_path)
{
    ExtractJob job(archive_path, target_path);
    return job.run();
}
