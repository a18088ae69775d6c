#include "transfer/transfer_sink.h"

TransferSink::~TransferSink() = default;
