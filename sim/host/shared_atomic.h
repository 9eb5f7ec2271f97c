// The values the UI thread and the worker share, on the host: std::atomic
// with a preemption point before every access, so that the simulated world
// can interleave the two threads there as Windows may (in its seeded mode;
// in the fixed order a preemption point does nothing).
#pragma once

#include <atomic>

namespace sim {
// Lets another simulated thread run here when the world's seed says so.
void preemption_point();
}  // namespace sim

template <typename T>
class shared_atomic {
public:
    constexpr shared_atomic(T v) noexcept : v_(v) {}
    shared_atomic(const shared_atomic&) = delete;
    shared_atomic& operator=(const shared_atomic&) = delete;

    T load() const noexcept
    {
        sim::preemption_point();
        return v_.load();
    }
    void store(T v) noexcept
    {
        sim::preemption_point();
        v_.store(v);
    }
    T exchange(T v) noexcept
    {
        sim::preemption_point();
        return v_.exchange(v);
    }
    bool compare_exchange_strong(T& expected, T desired) noexcept
    {
        sim::preemption_point();
        return v_.compare_exchange_strong(expected, desired);
    }
    operator T() const noexcept { return load(); }
    // Read for the support trace only: no preemption point, so that
    // recording never changes an interleaving.
    T peek() const noexcept { return v_.load(); }
    T operator=(T v) noexcept
    {
        store(v);
        return v;
    }

private:
    std::atomic<T> v_;
};
