#pragma once

#include <condition_variable>
#include <mutex>

// A flag that server threads wait on: every wait ends early once it is raised,
// so scripted delays and stalls never outlive the fixture.
class StopSignal
{
public:
    void raise();
    bool raised() const;
    // Waits for ms milliseconds (ms <= 0: until raised). Returns false when
    // the wait ended because the signal was raised.
    bool wait_ms(int ms);

private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool is_raised = false;
};
