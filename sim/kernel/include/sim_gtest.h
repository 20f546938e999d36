// GoogleTest glue of the simulated kernel: verifier failures fail the running test, and a
// fixture puts the kernel back into a fresh state around every test.
#pragma once

#include "sim/kernel/include/sim_kernel.h"

#include <gtest/gtest.h>

namespace sim {

// Installed once per test program, before main runs: every verifier failure not expected by
// a VerifierRecorder becomes a failure of the running test (from whichever thread reports it).
inline const bool kGtestFailureHandlerInstalled = [] {
    SetFailureHandler([](const std::string &message) { ADD_FAILURE() << "verifier: " << message; });
    return true;
}();

// Base fixture for tests on the simulated kernel.
class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterCurrentThread();
        ResetForTest();
    }
    void TearDown() override {
        DrainForcedPending();
        ResetForTest();
    }
};

}  // namespace sim
