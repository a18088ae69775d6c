#include "transfer/sink_device.h"

#include "transfer/transfer_sink.h"

SinkDevice::SinkDevice(TransferSink &sink, qint64 held, const QByteArray &validator)
    : sink(sink), position(held), known_validator(validator)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

void SinkDevice::begin(qint64 start, const QByteArray &validator)
{
    // What a continuation names in If-Range: a continued answer without a
    // validator of its own keeps the earlier one.
    if (start == 0 || !validator.isEmpty())
        known_validator = validator;
    position = start;
    if (!refused.failed())
        sink.write(position, known_validator, nullptr, 0, refused);
}

void SinkDevice::start_over()
{
    position = 0;
    known_validator.clear();
}

qint64 SinkDevice::readData(char *, qint64)
{
    return -1;
}

qint64 SinkDevice::writeData(const char *data, qint64 size)
{
    if (refused.failed() || !sink.write(position, known_validator, data, size, refused))
        return -1;
    position += size;
    return size;
}
