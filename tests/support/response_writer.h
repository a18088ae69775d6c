#pragma once

#include "https_fixture.h"

#include <memory>

namespace httplib {
struct Response;
}
class StopSignal;

// Turns a scripted answer into the server's response: waits for the delay
// before the headers here, and installs a body writer that stalls, trickles
// or cuts the connection as scripted. Byte positions count body bytes sent in
// this response.
void write_fixture_response(const FixtureResponse &answer, const std::shared_ptr<StopSignal> &stop,
                            httplib::Response &res);
