#include "CondVarRoundTrip.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace Vantrel::HolvaneApi::Bench {
namespace {

// One direction of the hand-off: set under the mutex, notify, wait for the flag.
class Signal {
public:
    void set()
    {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _ready = true;
        }
        _cv.notify_all();
    }
    void waitAndClear()
    {
        std::unique_lock<std::mutex> lock(_mutex);
        _cv.wait(lock, [this] { return _ready; });
        _ready = false;
    }

private:
    std::mutex _mutex;
    std::condition_variable _cv;
    bool _ready = false;
};

} // namespace

BenchResult runCondVarRoundTrip(size_t warmup, size_t iterations)
{
    Signal ping;
    Signal pong;
    const size_t total = warmup + iterations;
    std::thread partner([&] {
        for (size_t i = 0; i < total; ++i) {
            ping.waitAndClear();
            pong.set();
        }
    });
    Samples samples(iterations);
    const double wall = timeLoop(warmup, iterations, samples, [&] {
        ping.set();
        pong.waitAndClear();
    });
    partner.join();
    BenchResult result;
    result.name = "condition-variable round trip (2 hand-offs)";
    result.group = "latency";
    summarize(result, samples, wall, static_cast<double>(iterations));
    return result;
}

} // namespace Vantrel::HolvaneApi::Bench
