#pragma once
// The time the simulated board runs on. Real-time runs use the steady clock; tests inject a
// manual clock and move it themselves, so every figure of the timing model can be checked to
// the microsecond without looking at the wall clock.

#include <atomic>
#include <cstdint>
#include <memory>

namespace pelsim {

class Clock {
public:
    virtual ~Clock();
    // Microseconds since an arbitrary start; never goes backwards.
    virtual uint64_t now() const = 0;
};

class SteadyClock : public Clock {
public:
    uint64_t now() const override;
};

// Time stands still until the test moves it. Safe to move from another thread.
class ManualClock : public Clock {
public:
    explicit ManualClock(uint64_t start = 0) : m_Now(start) {}
    uint64_t now() const override { return m_Now.load(std::memory_order_acquire); }
    void set(uint64_t micros) { m_Now.store(micros, std::memory_order_release); }
    void advance(uint64_t micros) { m_Now.fetch_add(micros, std::memory_order_acq_rel); }

private:
    std::atomic<uint64_t> m_Now;
};

std::shared_ptr<Clock> steadyClock();

} // namespace pelsim
