#include "bounded.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Deliberately never destroyed: threads beside may still count down while the program ends.
struct Beside {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};

Beside &beside()
{
    // Shared by every thread beside, and never destroyed (see above).
    static auto *const instance = new Beside; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
    return *instance;
}

} // namespace

void runBeside(std::function<void()> work, std::function<void()> then)
{
    Beside &counter = beside();
    {
        const std::lock_guard lock(counter.mutex);
        ++counter.running;
    }
    try {
        std::thread([&counter, work = std::move(work), then = std::move(then)] {
            work();
            if (then)
                then();
            const std::lock_guard lock(counter.mutex);
            --counter.running;
            counter.ended.notify_all();
        }).detach();
    } catch (...) {
        const std::lock_guard lock(counter.mutex);
        --counter.running;
        throw;
    }
}

bool runBounded(qint64 waitMs, const std::function<void()> &work, const std::function<void()> &then)
{
    struct State {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    try {
        runBeside(
            [state, work] {
                work();
                const std::lock_guard lock(state->mutex);
                state->done = true;
                state->ended.notify_all();
            },
            then);
    } catch (const std::system_error &) {
        work();
        if (then)
            then();
        return true;
    }
    std::unique_lock lock(state->mutex);
    return state->ended.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(0, waitMs)),
                                 [&] { return state->done; });
}

int workBesideRunning()
{
    Beside &counter = beside();
    const std::lock_guard lock(counter.mutex);
    return counter.running;
}

int finishWorkBeside(int status, qint64 waitMs)
{
    Beside &counter = beside();
    std::unique_lock lock(counter.mutex);
    if (counter.ended.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(0, waitMs)),
                               [&] { return counter.running == 0; }))
        return status;
    std::fflush(nullptr);
    std::_Exit(status);
}
