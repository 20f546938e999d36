// Fault injection: every allocation or creation call asks ShouldFail, which counts the calls
// that match the armed plan and fails the chosen ones.
#include "kernel_internal.h"

namespace sim {
namespace detail {
namespace {

struct FaultState {
    std::mutex lock;  // guards everything below
    FaultPlan plan;
    uint64_t calls = 0;
    uint64_t failures = 0;
    uint64_t random = 0;  // state of the deterministic generator
};

FaultState &Faults() {
    static FaultState *state = new FaultState;
    return *state;
}

// splitmix64: deterministic per seed, good enough to spread failures.
uint64_t NextRandom(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

void ResetFaults() { ClearFaults(); }

}  // namespace detail

using detail::Faults;

void SetFaultPlan(const FaultPlan &plan) {
    std::lock_guard<std::mutex> guard(Faults().lock);
    Faults().plan = plan;
    Faults().calls = 0;
    Faults().failures = 0;
    Faults().random = plan.randomSeed;
}

void ClearFaults() { SetFaultPlan(FaultPlan()); }

uint64_t InjectableCalls() {
    std::lock_guard<std::mutex> guard(Faults().lock);
    return Faults().calls;
}

uint64_t InjectedFailures() {
    std::lock_guard<std::mutex> guard(Faults().lock);
    return Faults().failures;
}

bool ShouldFail(FaultKind kind) {
    PDRIVER_OBJECT driver = CurrentDriver();
    detail::FaultState &state = Faults();
    std::lock_guard<std::mutex> guard(state.lock);
    const FaultPlan &plan = state.plan;
    if ((plan.kinds & kind) == 0) return false;
    if (plan.driver != nullptr && plan.driver != driver) return false;
    uint64_t call = ++state.calls;
    bool fail = false;
    if (plan.failNth != 0) fail = plan.failAllAfterNth ? call >= plan.failNth : call == plan.failNth;
    if (!fail && plan.randomPerMille != 0) fail = detail::NextRandom(state.random) % 1000 < plan.randomPerMille;
    if (fail) state.failures++;
    return fail;
}

}  // namespace sim
