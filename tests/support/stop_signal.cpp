#include "stop_signal.h"

#include <chrono>

void StopSignal::raise()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        is_raised = true;
    }
    changed.notify_all();
}

bool StopSignal::raised() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return is_raised;
}

bool StopSignal::wait_ms(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (ms <= 0) {
        changed.wait(lock, [this] { return is_raised; });
        return false;
    }
    return !changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return is_raised; });
}
