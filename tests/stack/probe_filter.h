// A test-only upper filter that the whole-stack tests can put above CardRwCom. It passes every
// request down unchanged; when armed, it holds the completion of the next wait-on-mask request
// in the thread that completes it until the test releases it. CardRwCom completes a held wait
// from its read worker, after appending received bytes to the receive ring and before waking
// waiting readers: the gate lets a test run the application's reads inside that window, in an
// order it chooses, instead of hoping a thread interleaving happens.
#pragma once

#include <string>

namespace stack_test {

// The service name to install as an extra upper filter (above CardRwCom).
extern const char16_t kProbeFilterService[];
// Registers the filter's entry point under that service.
void InstallProbeFilter();

namespace wait_gate {
// The next wait-on-mask completion that passes the filter is held until Release.
void Arm();
// True once a completion is held (the test settles virtual time until it is).
bool Holding();
// Lets the held completion go on; disarms the gate.
void Release();
}  // namespace wait_gate

}  // namespace stack_test
