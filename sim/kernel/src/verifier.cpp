// The always-on verifier: failure reporting, recording for tests that expect a failure, and
// the bookkeeping of which driver routine runs on each thread.
#include "kernel_internal.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace detail {

// =====================================================================================
// Failure sink
// =====================================================================================
namespace {

struct VerifierState {
    std::mutex lock;  // guards everything below
    FailureHandler handler;
    bool recording = false;
    std::vector<std::string> recorded;
};

// Never destroyed: simulated threads may still report while the process exits.
VerifierState &State() {
    static VerifierState *state = new VerifierState;
    return *state;
}

void DefaultHandler(const std::string &message) {
    fprintf(stderr, "simulated kernel verifier: %s\n", message.c_str());
    fflush(stderr);
    abort();
}

}  // namespace

void Fail(const std::string &what) {
    std::string message = what + " [" + DescribeActivity() + "]";
    FailureHandler handler;
    {
        VerifierState &state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.recording) {
            state.recorded.push_back(message);
            return;
        }
        handler = state.handler;
    }
    if (handler) handler(message);
    else DefaultHandler(message);
}

// =====================================================================================
// Names for messages
// =====================================================================================
std::string Hex(uint64_t value) {
    char buffer[24];
    snprintf(buffer, sizeof buffer, "0x%llx", (unsigned long long)value);
    return buffer;
}

const char *MajorName(UCHAR major) {
    static const char *const names[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_(invalid)";
}

namespace {

// "CardRwCom.so+0x1a2b" or the symbol when the module exports it.
std::string RoutineName(const void *routine) {
    if (routine == nullptr) return "?";
    Dl_info info;
    if (dladdr(routine, &info) == 0 || info.dli_fname == nullptr) return Hex((uint64_t)(uintptr_t)routine);
    if (info.dli_sname != nullptr && info.dli_saddr == routine) return info.dli_sname;
    std::string module = info.dli_fname;
    size_t slash = module.rfind('/');
    if (slash != std::string::npos) module = module.substr(slash + 1);
    return module + "+" + Hex((uint64_t)((uintptr_t)routine - (uintptr_t)info.dli_fbase));
}

}  // namespace

std::string DescribeActivity() {
    Activity *activity = Self().activity;
    if (activity == nullptr) return "no driver code running";
    std::string text = "driver " + DriverName(activity->driver) + ", " + activity->kind + " " +
                       RoutineName(activity->routine);
    if (activity->irp != nullptr) text += ", request " + Hex((uint64_t)(uintptr_t)activity->irp);
    return text;
}

// =====================================================================================
// Entering and leaving driver routines
// =====================================================================================
void EnterDriver(Activity &activity, PDRIVER_OBJECT driver, const char *kind, const void *routine, PIRP irp) {
    ThreadContext &self = Self();
    activity.driver = driver;
    activity.kind = kind;
    activity.routine = routine;
    activity.irp = irp;
    activity.expectedIrql = self.irql;
    activity.expectedLocks = self.spinLocksHeld;
    activity.previous = self.activity;
    self.activity = &activity;
}

// A routine must return at the IRQL it was entered at and holding exactly the spin locks it
// was entered with. After a report the thread is put back in order so that one fault does
// not cascade into unrelated reports.
void LeaveDriver(Activity &activity) {
    ThreadContext &self = Self();
    if (self.spinLocksHeld > activity.expectedLocks)
        Fail("returned holding " + std::to_string(self.spinLocksHeld - activity.expectedLocks) + " spin lock(s)");
    else if (self.spinLocksHeld < activity.expectedLocks)
        Fail("returned after releasing a spin lock it was called with");
    else if (self.irql != activity.expectedIrql)
        Fail(std::string("returned at IRQL ") + std::to_string(self.irql) + " instead of " +
             std::to_string(activity.expectedIrql));
    self.irql = activity.expectedIrql;
    self.activity = activity.previous;
}

}  // namespace detail

// =====================================================================================
// Control interface
// =====================================================================================
using detail::State;

void SetFailureHandler(FailureHandler handler) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().handler = std::move(handler);
}

void ReportFailure(const std::string &what) { detail::Fail(what); }

VerifierRecorder::VerifierRecorder() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().recording = true;
    State().recorded.clear();
}

VerifierRecorder::~VerifierRecorder() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().recording = false;
}

std::vector<std::string> VerifierRecorder::Failures() const { return VerifierFailures(); }

size_t VerifierRecorder::Count(const std::string &fragment) const {
    size_t count = 0;
    for (const std::string &failure : VerifierFailures())
        if (failure.find(fragment) != std::string::npos) count++;
    return count;
}

std::vector<std::string> VerifierFailures() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().recorded;
}

DriverCall::DriverCall(PDRIVER_OBJECT driver, const char *routineKind, const void *routine, PIRP irp) {
    auto *activity = new detail::Activity;
    detail::EnterDriver(*activity, driver, routineKind, routine, irp);
    saved_ = activity;
}

DriverCall::~DriverCall() {
    auto *activity = static_cast<detail::Activity *>(saved_);
    detail::LeaveDriver(*activity);
    delete activity;
}

PDRIVER_OBJECT CurrentDriver() {
    detail::Activity *activity = detail::Self().activity;
    return activity != nullptr ? activity->driver : nullptr;
}

}  // namespace sim

// Code marked pageable must not run above APC_LEVEL.
extern "C" VOID SimPagedCodeCheck(const char *Function) {
    if (sim::detail::Self().irql > APC_LEVEL)
        sim::detail::Fail(std::string("pageable code ") + Function + " runs at IRQL " +
                          std::to_string(sim::detail::Self().irql));
}
