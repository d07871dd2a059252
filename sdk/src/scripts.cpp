#include "scripts.h"

#include <array>
#include <cstring>
#include <deque>
#include <mutex>

namespace asisim {

namespace scripts {

namespace detail {
std::atomic<int> queued{0};
}

namespace {

struct Queues {
    std::mutex mutex;
    std::array<std::deque<Script>, kFunctionCount> per_function;
};

Queues &queues() {
    // Never destroyed: a call racing with process exit still finds its queues.
    static Queues &q = *new Queues;
    return q;
}

} // namespace

bool push(Fn fn, int code, const void *data, size_t size) {
    Script s;
    s.code = code;
    if (data) {
        const ScriptLayout l = script_layout(fn);
        if ((l.shape == DataShape::Fixed && size != l.size) ||
            (l.shape == DataShape::GpsAndBytes && size < l.size))
            return false;
        s.has_data = true;
        s.data.resize(size);
        if (size)
            std::memcpy(s.data.data(), data, size);
    }
    Queues &q = queues();
    std::lock_guard lock(q.mutex);
    q.per_function[static_cast<size_t>(fn)].push_back(std::move(s));
    detail::queued.fetch_add(1, std::memory_order_release);
    return true;
}

void clear() {
    Queues &q = queues();
    std::lock_guard lock(q.mutex);
    for (auto &d : q.per_function)
        d.clear();
    detail::queued.store(0, std::memory_order_release);
}

std::optional<Script> detail::take_slow(Fn fn) {
    Queues &q = queues();
    std::lock_guard lock(q.mutex);
    auto &d = q.per_function[static_cast<size_t>(fn)];
    if (d.empty())
        return std::nullopt;
    Script s = std::move(d.front());
    d.pop_front();
    detail::queued.fetch_sub(1, std::memory_order_release);
    return s;
}

} // namespace scripts

} // namespace asisim
