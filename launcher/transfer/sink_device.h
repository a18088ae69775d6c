#pragma once

#include "app/update_failure.h"

#include <QByteArray>
#include <QIODevice>

class TransferSink;

// The device a TransferAttempt appends a body to: it hands the bytes on to a
// sink, telling it where each piece goes. Kept over the attempts of one
// transfer, it knows how much of the body the sink holds.
class SinkDevice : public QIODevice
{
public:
    // `held`: the bytes of an earlier body the sink continues.
    SinkDevice(TransferSink &sink, qint64 held, const QByteArray &validator);

    // An answer's body begins at `start` (0: the sink drops what it holds)
    // and came with `validator` ("" keeps the one known).
    void begin(qint64 start, const QByteArray &validator);
    // The next body comes from its first byte, without a validator.
    void start_over();
    qint64 held() const { return position; }
    const QByteArray &validator() const { return known_validator; }
    // Why the sink refused bytes (UpdateFault::None while it took them all).
    const UpdateFailure &refusal() const { return refused; }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 max) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    TransferSink &sink;
    qint64 position;
    QByteArray known_validator;
    UpdateFailure refused;
};
