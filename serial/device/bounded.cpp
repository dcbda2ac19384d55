#include "bounded.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

bool runBounded(qint64 waitMs, std::function<void()> work, std::function<void()> then)
{
    struct State {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    try {
        std::thread([state, work, then] {
            work();
            {
                const std::lock_guard lock(state->mutex);
                state->done = true;
                state->ended.notify_all();
            }
            if (then)
                then();
        }).detach();
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
