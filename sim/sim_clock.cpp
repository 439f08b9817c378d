#include "sim_clock.h"

#include <chrono>

namespace pelsim {

Clock::~Clock() = default;

uint64_t SteadyClock::now() const
{
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::shared_ptr<Clock> steadyClock()
{
    static const std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>();
    return clock;
}

} // namespace pelsim
