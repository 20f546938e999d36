// I/O request packets of the simulated I/O manager: allocation, IoCallDriver, the completion
// contract of IoCompleteRequest, thread requests built by IoBuild*Request, cancellation.
//
// Beside each request the I/O manager keeps a record (owner, kind, the buffers of a thread
// request) and a frame for every IoCallDriver whose pending rule is not judged yet. The rule:
// a dispatch routine that returns STATUS_PENDING must have its location marked pending by the
// time completion passes that location (by IoMarkIrpPending in the dispatch routine, or in its
// completion routine when the lower driver pended); one that returns a final status must not
// have marked it. Whichever comes second, the dispatch's return or completion passing the
// location, judges the frame and deletes it; so the check never touches a request that was
// completed and freed in the meantime.
#include "kernel_internal.h"

#include <cstdlib>
#include <thread>
#include <unordered_map>

namespace sim {
namespace detail {
namespace {

struct Frame {
    CHAR location = 0;
    PDEVICE_OBJECT device = nullptr;  // whose dispatch routine runs
    UCHAR major = 0;
    bool pendingAtEntry = false;  // the location was marked pending before the dispatch ran
    bool forced = false;          // the I/O manager marked it pending for forced pending
    bool captured = false;        // completion passed the location while the dispatch ran
    UCHAR control = 0;            // Control of the location when completion passed it
    bool returnedPending = false; // the dispatch returned STATUS_PENDING before completion passed
    bool dead = false;            // the request went away while the dispatch ran
};

struct IrpRecord {
    PDRIVER_OBJECT owner = nullptr;
    bool threadRequest = false;   // built by IoBuild*Request: the I/O manager frees it
    bool externalMemory = false;  // initialised by IoInitializeIrp in the driver's own memory
    bool sent = false;
    std::vector<Frame *> frames;
    void *systemBuffer = nullptr;  // the I/O manager's buffer of a buffered thread request
    PVOID outputBuffer = nullptr;  // where the caller wants the output copied
    ULONG outputLength = 0;
};

struct IrpTable {
    std::mutex lock;  // guards records and the frames they point to
    std::unordered_map<PIRP, IrpRecord> records;
};

IrpTable &Irps() {
    static IrpTable *table = new IrpTable;
    return *table;
}

KSPIN_LOCK cancelSpinLock = 0;

PIO_STACK_LOCATION StackLocation(PIRP Irp, CHAR location) { return (PIO_STACK_LOCATION)(Irp + 1) + (location - 1); }

std::string RequestText(PIRP Irp) { return "request " + Hex((uint64_t)(uintptr_t)Irp); }

const char *DispatchKind(UCHAR major) {
    static std::string *kinds = [] {
        auto *table = new std::string[IRP_MJ_MAXIMUM_FUNCTION + 2];
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION + 1; i++) table[i] = std::string("dispatch ") + MajorName((UCHAR)i);
        return table;
    }();
    return kinds[major <= IRP_MJ_MAXIMUM_FUNCTION ? major : IRP_MJ_MAXIMUM_FUNCTION + 1].c_str();
}

PIRP NewIrp(CCHAR StackSize) {
    USHORT size = (USHORT)IoSizeOfIrp(StackSize);
    auto irp = (PIRP)calloc(1, size);
    if (irp != NULL) IoInitializeIrp(irp, size, StackSize);
    return irp;
}

// =====================================================================================
// Frames (caller holds the table lock)
// =====================================================================================
void RemoveFrameLocked(IrpRecord &record, Frame *frame) {
    auto &frames = record.frames;
    for (size_t i = 0; i < frames.size(); i++) {
        if (frames[i] == frame) {
            frames.erase(frames.begin() + (long)i);
            return;
        }
    }
}

std::string FrameText(const Frame &frame) {
    return "dispatch " + std::string(MajorName(frame.major)) + " of driver " + DriverName(frame.device->DriverObject);
}

// Completion passes 'location': frames whose dispatch returned STATUS_PENDING are judged
// now; frames whose dispatch still runs learn the location's Control.
void CaptureFramesLocked(IrpRecord &record, CHAR location, UCHAR control, std::vector<std::string> &problems) {
    std::vector<Frame *> done;
    for (Frame *frame : record.frames) {
        if (frame->location != location || frame->captured) continue;
        if (frame->returnedPending) {
            if (!(control & SL_PENDING_RETURNED))
                problems.push_back(FrameText(*frame) + " returned STATUS_PENDING but the request completed without "
                                   "its location marked pending (IoMarkIrpPending)");
            done.push_back(frame);
        } else {
            frame->captured = true;
            frame->control = control;
        }
    }
    for (Frame *frame : done) {
        RemoveFrameLocked(record, frame);
        delete frame;
    }
}

// The request goes away (freed, or a thread request finished): frames still waiting for
// completion are dropped, frames of running dispatch routines become the routines' own.
// Returns whether some dispatch routine still works on the request.
bool OrphanFramesLocked(IrpRecord &record) {
    bool running = false;
    for (Frame *frame : record.frames) {
        if (frame->returnedPending) {
            delete frame;
        } else {
            running = running || !frame->captured;
            frame->dead = true;
        }
    }
    record.frames.clear();
    return running;
}

// The dispatch routine returned 'status': judge now if completion already passed its location
// or it returned a final status; otherwise leave the frame for completion to judge.
std::string JudgeReturnLocked(PIRP Irp, Frame *frame, NTSTATUS status) {
    std::string problem;
    if (frame->dead) {
        delete frame;
        return problem;
    }
    IrpRecord &record = Irps().records[Irp];
    if (status == STATUS_PENDING && !frame->captured) {
        frame->returnedPending = true;
        return problem;
    }
    UCHAR control = frame->captured ? frame->control : StackLocation(Irp, frame->location)->Control;
    bool marked = (control & SL_PENDING_RETURNED) != 0;
    if (status == STATUS_PENDING && !marked)
        problem = "returns STATUS_PENDING without marking the request pending (IoMarkIrpPending)";
    else if (status != STATUS_PENDING && marked && !frame->pendingAtEntry && !frame->forced)
        problem = "marks the request pending but returns " + Hex((uint32_t)status) + " instead of STATUS_PENDING";
    RemoveFrameLocked(record, frame);
    delete frame;
    return problem;
}

// =====================================================================================
// Dispatch with the pending rule
// =====================================================================================
// The device object is not touched once its dispatch routine returned: a removal may have
// deleted it, and nobody need hold a reference on it then.
NTSTATUS DispatchChecked(PDEVICE_OBJECT DeviceObject, PIRP Irp, Frame *frame) {
    UCHAR major = frame->major;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[major];
    Activity activity;
    EnterDriver(activity, driver, DispatchKind(major), (const void *)dispatch, Irp);
    NTSTATUS status = dispatch(DeviceObject, Irp);
    LeaveDriver(activity);
    std::string problem;
    {
        std::lock_guard<std::mutex> guard(Irps().lock);
        problem = JudgeReturnLocked(Irp, frame, status);
    }
    if (!problem.empty()) {
        EnterDriver(activity, driver, DispatchKind(major), (const void *)dispatch, Irp);
        Fail(problem);
        LeaveDriver(activity);
    }
    return status;
}

// =====================================================================================
// Forced pending: the dispatch runs on a thread of its own
// =====================================================================================
struct ForcedState {
    size_t outstanding = 0;  // guarded by the dispatcher lock
    KEVENT idle;             // set while nothing is outstanding
    bool initialised = false;
};

ForcedState &Forced() {
    static ForcedState *state = new ForcedState;
    return *state;
}

void StartForcedDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp, Frame *frame) {
    KIRQL irql = Self().irql;
    {
        auto lock = LockDispatcher();
        ForcedState &forced = Forced();
        if (!forced.initialised) {
            forced.idle.Header.Type = EventNotificationObject;
            forced.initialised = true;
        }
        forced.outstanding++;
        forced.idle.Header.SignalState = 0;
        PreRegisterThreadLocked();
    }
    std::thread([DeviceObject, Irp, frame, irql] {
        AdoptPreRegistration();
        Self().irql = irql;
        DispatchChecked(DeviceObject, Irp, frame);
        Self().irql = PASSIVE_LEVEL;
        auto lock = LockDispatcher();
        if (--Forced().outstanding == 0) SignalObjectLocked(&Forced().idle.Header);
        UnregisterSelfLocked();
    }).detach();
}

// =====================================================================================
// I/O manager completion of thread requests
// =====================================================================================
void CompleteThreadRequest(PIRP Irp, IrpRecord record) {
    NTSTATUS status = Irp->IoStatus.Status;
    bool copyOut = (Irp->Flags & IRP_BUFFERED_IO) && (Irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) &&
                   record.outputBuffer != nullptr;
    if (copyOut) {
        ULONG_PTR bytes = Irp->IoStatus.Information;
        if (bytes > record.outputLength) {
            Fail(RequestText(Irp) + " completes with Information " + std::to_string(bytes) +
                 " larger than its output buffer of " + std::to_string(record.outputLength) + " bytes");
            bytes = record.outputLength;
        }
        memcpy(record.outputBuffer, record.systemBuffer, bytes);
    }
    free(record.systemBuffer);
    for (PMDL mdl = Irp->MdlAddress; mdl != NULL;) {
        PMDL next = mdl->Next;
        FreeMdlInternal(mdl);
        mdl = next;
    }
    if (Irp->UserIosb != NULL) {
        Irp->UserIosb->Status = status;
        Irp->UserIosb->Information = Irp->IoStatus.Information;
    }
    PKEVENT event = Irp->UserEvent;
    free(Irp);
    if (event != NULL) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

PIRP NewThreadRequest(PDEVICE_OBJECT DeviceObject, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = NewIrp(DeviceObject->StackSize);
    if (irp == NULL) return NULL;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    return irp;
}

void TrackThreadRequest(PIRP irp, void *systemBuffer, PVOID outputBuffer, ULONG outputLength) {
    std::lock_guard<std::mutex> guard(Irps().lock);
    IrpRecord &record = Irps().records[irp];
    record = IrpRecord();
    record.owner = CurrentDriver();
    record.threadRequest = true;
    record.systemBuffer = systemBuffer;
    record.outputBuffer = outputBuffer;
    record.outputLength = outputLength;
}

PMDL LockedMdl(PVOID buffer, ULONG length, LOCK_OPERATION operation) {
    PMDL mdl = AllocateMdlInternal(buffer, length);
    if (mdl != NULL) MmProbeAndLockPages(mdl, KernelMode, operation);
    return mdl;
}

}  // namespace

// =====================================================================================
// Leaks
// =====================================================================================
std::vector<std::string> IrpLeaks(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(Irps().lock);
    std::vector<std::string> leaks;
    for (auto &entry : Irps().records) {
        const IrpRecord &record = entry.second;
        if (record.owner != driver || record.externalMemory) continue;
        if (record.threadRequest && !record.sent) leaks.push_back(RequestText(entry.first) + " built but never sent");
        else if (!record.threadRequest) leaks.push_back(RequestText(entry.first) + " allocated by IoAllocateIrp not freed");
    }
    return leaks;
}

void ForgetRequestInFreedPool(void *block) {
    std::lock_guard<std::mutex> guard(Irps().lock);
    auto found = Irps().records.find((PIRP)block);
    if (found == Irps().records.end() || !found->second.externalMemory) return;
    OrphanFramesLocked(found->second);
    Irps().records.erase(found);
}

void ForgetIrps(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(Irps().lock);
    for (auto &entry : Irps().records)
        if (entry.second.owner == driver) entry.second.owner = nullptr;
}

}  // namespace detail

size_t LiveIrpCount(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(detail::Irps().lock);
    size_t count = 0;
    for (auto &entry : detail::Irps().records)
        if (driver == nullptr || entry.second.owner == driver) count++;
    return count;
}

void DrainForcedPending() {
    detail::RegisterSelf();
    auto lock = detail::LockDispatcher();
    detail::ForcedState &forced = detail::Forced();
    if (forced.outstanding == 0) return;
    PDISPATCHER_HEADER idle = &forced.idle.Header;
    detail::WaitLocked(lock, 1, &idle, WaitAny, false, 0);
}

}  // namespace sim

using namespace sim::detail;

// =====================================================================================
// Allocation
// =====================================================================================
extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
    std::lock_guard<std::mutex> guard(Irps().lock);
    auto found = Irps().records.find(Irp);
    if (found == Irps().records.end()) {
        // A driver's own memory made into a request: the driver keeps owning the memory.
        IrpRecord &record = Irps().records[Irp];
        record.owner = sim::CurrentDriver();
        record.externalMemory = true;
    } else {
        found->second.sent = false;
    }
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    if (StackSize < 1) {
        Fail("allocates a request with " + std::to_string(StackSize) + " stack locations");
        return NULL;
    }
    if (sim::ShouldFail(sim::FaultIrp)) return NULL;
    USHORT size = (USHORT)IoSizeOfIrp(StackSize);
    auto irp = (PIRP)calloc(1, size);
    if (irp == NULL) return NULL;
    {
        std::lock_guard<std::mutex> guard(Irps().lock);
        IrpRecord &record = Irps().records[irp];
        record = IrpRecord();  // drop what a request of the driver's own memory left at this address
        record.owner = sim::CurrentDriver();
    }
    IoInitializeIrp(irp, size, StackSize);
    return irp;
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    if (Irp->CurrentLocation <= Irp->StackCount) Fail("reuses " + RequestText(Irp) + " that is still in progress");
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
    std::string problem;
    bool release = false;
    {
        std::lock_guard<std::mutex> guard(Irps().lock);
        auto found = Irps().records.find(Irp);
        if (found == Irps().records.end()) {
            problem = "frees " + RequestText(Irp) + " that is not allocated (freed twice?)";
        } else if (found->second.threadRequest) {
            problem = "frees " + RequestText(Irp) + " that the I/O manager owns (built by IoBuild*Request)";
        } else if (found->second.externalMemory) {
            problem = "frees " + RequestText(Irp) + " that lives in the driver's own memory";
        } else {
            if (OrphanFramesLocked(found->second))
                problem = "frees " + RequestText(Irp) + " while a driver still processes it";
            if (__atomic_load_n((PVOID *)&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != NULL)
                problem = "frees " + RequestText(Irp) + " whose cancel routine is still set";
            Irps().records.erase(found);
            release = true;
        }
    }
    if (!problem.empty()) Fail(problem);
    if (release) free(Irp);
}

// =====================================================================================
// Sending
// =====================================================================================
extern "C" NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RegisterSelf();
    if (!sim::IsLiveDevice(DeviceObject)) {
        Fail("sends " + RequestText(Irp) + " to a device object that does not exist (" +
             Hex((uint64_t)(uintptr_t)DeviceObject) + ")");
        return STATUS_NO_SUCH_DEVICE;
    }
    if (sim::IsDeviceDeleted(DeviceObject))
        Fail("sends " + RequestText(Irp) + " to a deleted device object (" + Hex((uint64_t)(uintptr_t)DeviceObject) + ")");
    std::string problem;
    bool forced = IsForcedPending(DeviceObject);
    auto *frame = new Frame();
    {
        std::lock_guard<std::mutex> guard(Irps().lock);
        auto found = Irps().records.find(Irp);
        if (found == Irps().records.end()) {
            problem = "sends " + RequestText(Irp) + " that is not allocated (freed, or completed by the I/O manager)";
        } else if (Irp->CurrentLocation <= 1) {
            problem = "calls past the last stack location of " + RequestText(Irp) + " (StackCount " +
                      std::to_string(Irp->StackCount) + ")";
        } else {
            IoSetNextIrpStackLocation(Irp);
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
            stack->DeviceObject = DeviceObject;
            if (forced) stack->Control |= SL_PENDING_RETURNED;
            frame->location = Irp->CurrentLocation;
            frame->device = DeviceObject;
            frame->major = stack->MajorFunction;
            frame->pendingAtEntry = (stack->Control & SL_PENDING_RETURNED) != 0;
            frame->forced = forced;
            found->second.sent = true;
            found->second.frames.push_back(frame);
        }
    }
    if (!problem.empty()) {
        delete frame;
        Fail(problem);
        return STATUS_INVALID_PARAMETER;
    }
    if (!forced) return DispatchChecked(DeviceObject, Irp, frame);
    StartForcedDispatch(DeviceObject, Irp, frame);
    return STATUS_PENDING;
}

// =====================================================================================
// Completion
// =====================================================================================
namespace {

// Checks before completion starts; false when completion must not run at all.
bool CheckCompletable(PIRP Irp) {
    std::string problem;
    bool completable = false;
    {
        std::lock_guard<std::mutex> guard(Irps().lock);
        if (Irps().records.count(Irp) == 0)
            problem = "completes " + RequestText(Irp) + " that does not exist (completed twice, or freed)";
        else if (Irp->CurrentLocation > Irp->StackCount)
            problem = "completes " + RequestText(Irp) + " twice";
        else
            completable = true;
    }
    if (!problem.empty()) {
        Fail(problem);
        return false;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) Fail("completes " + RequestText(Irp) + " with STATUS_PENDING");
    if (__atomic_load_n((PVOID *)&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != NULL) {
        Fail("completes " + RequestText(Irp) + " while its cancel routine is still set");
        IoSetCancelRoutine(Irp, NULL);
    }
    return completable;
}

bool ShouldInvoke(PIRP Irp, UCHAR control) {
    NTSTATUS status = Irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// What the I/O manager leaves of a location it has passed.
void ZeroStackLocation(PIO_STACK_LOCATION stack) {
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    stack->Parameters.Others.Argument1 = NULL;
    stack->Parameters.Others.Argument2 = NULL;
    stack->Parameters.Others.Argument3 = NULL;
    stack->Parameters.Others.Argument4 = NULL;
    stack->FileObject = NULL;
}

// Runs one completion routine as code of the driver that set it: the driver one location up,
// or the request's allocator when the routine sits in the top location.
NTSTATUS RunCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE routine, PVOID context) {
    PDEVICE_OBJECT device = NULL;
    PDRIVER_OBJECT driver = nullptr;
    if (Irp->CurrentLocation <= Irp->StackCount) {
        device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        driver = device != NULL ? device->DriverObject : nullptr;
    } else {
        std::lock_guard<std::mutex> guard(Irps().lock);
        auto found = Irps().records.find(Irp);
        if (found != Irps().records.end()) driver = found->second.owner;
    }
    Activity activity;
    EnterDriver(activity, driver, "completion routine", (const void *)routine, Irp);
    NTSTATUS status = routine(device, Irp, context);
    LeaveDriver(activity);
    return status;
}

// The request reached the top of its stack.
void FinishCompletion(PIRP Irp) {
    IrpRecord record;
    {
        std::lock_guard<std::mutex> guard(Irps().lock);
        auto found = Irps().records.find(Irp);
        if (found == Irps().records.end()) return;
        record = found->second;
        if (record.threadRequest) {
            OrphanFramesLocked(found->second);
            Irps().records.erase(found);
        }
    }
    if (record.threadRequest) CompleteThreadRequest(Irp, record);
    else if (!record.externalMemory)
        Fail("completion of " + RequestText(Irp) + " (allocated by IoAllocateIrp) ran past the top: the allocator's "
             "completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
}

}  // namespace

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR) {
    if (!CheckCompletable(Irp)) return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    for (;;) {
        CHAR location = Irp->CurrentLocation;
        UCHAR control = stack->Control;
        std::vector<std::string> problems;
        {
            std::lock_guard<std::mutex> guard(Irps().lock);
            auto found = Irps().records.find(Irp);
            if (found != Irps().records.end()) CaptureFramesLocked(found->second, location, control, problems);
        }
        for (const std::string &problem : problems) Fail(problem);
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        IoSkipCurrentIrpStackLocation(Irp);  // up to the location of the routine's owner
        bool invoke = routine != NULL && ShouldInvoke(Irp, control);
        if (!invoke && Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
        ZeroStackLocation(stack);
        stack->CompletionRoutine = NULL;
        stack->Context = NULL;
        if (invoke && RunCompletionRoutine(Irp, routine, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        if (Irp->CurrentLocation > Irp->StackCount) break;
        stack = IoGetCurrentIrpStackLocation(Irp);
    }
    FinishCompletion(Irp);
}

extern "C" VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { IofCompleteRequest(Irp, PriorityBoost); }

// =====================================================================================
// Thread requests
// =====================================================================================
extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
    if (sim::ShouldFail(sim::FaultBuildRequest)) return NULL;
    PIRP irp = NewThreadRequest(DeviceObject, Event, IoStatusBlock);
    if (irp == NULL) return NULL;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    void *systemBuffer = nullptr;
    PVOID copyTarget = nullptr;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length != 0) {
            systemBuffer = malloc(length);
            memset(systemBuffer, 0, length);
            if (InputBuffer != NULL && InputBufferLength != 0) memcpy(systemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer != NULL && OutputBufferLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = OutputBuffer;
                copyTarget = OutputBuffer;
            }
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer != NULL && InputBufferLength != 0) {
            systemBuffer = malloc(InputBufferLength);
            memcpy(systemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            irp->AssociatedIrp.SystemBuffer = systemBuffer;
        }
        if (OutputBuffer != NULL && OutputBufferLength != 0)
            irp->MdlAddress = LockedMdl(OutputBuffer, OutputBufferLength,
                                        METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess
                                                                                                : IoWriteAccess);
        break;
    default:  // METHOD_NEITHER
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    TrackThreadRequest(irp, systemBuffer, copyTarget, OutputBufferLength);
    return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock) {
    if (sim::ShouldFail(sim::FaultBuildRequest)) return NULL;
    PIRP irp = NewThreadRequest(DeviceObject, Event, IoStatusBlock);
    if (irp == NULL) return NULL;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = (UCHAR)MajorFunction;
    void *systemBuffer = nullptr;
    PVOID copyTarget = nullptr;
    bool transfer = MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE;
    if (transfer) {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset != NULL) stack->Parameters.Read.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            systemBuffer = malloc(Length != 0 ? Length : 1);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE) {
                memcpy(systemBuffer, Buffer, Length);
            } else {
                irp->Flags |= IRP_INPUT_OPERATION;
                copyTarget = Buffer;
            }
            irp->AssociatedIrp.SystemBuffer = systemBuffer;
            irp->UserBuffer = Buffer;
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            irp->MdlAddress = LockedMdl(Buffer, Length, MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    TrackThreadRequest(irp, systemBuffer, copyTarget, Length);
    return irp;
}

// =====================================================================================
// Cancellation
// =====================================================================================
extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&cancelSpinLock, Irql); }

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&cancelSpinLock, Irql); }

// Sets Cancel and, if a cancel routine is set, takes it away and calls it holding the cancel
// spin lock; the routine releases the lock with Irp->CancelIrql. The request's record is
// checked and the routine taken under the table lock, which completion also takes before it
// frees a thread request: a request completed and freed concurrently is reported, never
// touched. Once the routine is taken, the request cannot complete before the routine does it.
extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    bool known;
    PDRIVER_CANCEL routine = NULL;
    {
        std::lock_guard<std::mutex> guard(Irps().lock);
        known = Irps().records.count(Irp) != 0;
        if (known) {
            Irp->Cancel = TRUE;
            routine = IoSetCancelRoutine(Irp, NULL);
        }
    }
    if (routine == NULL) {
        IoReleaseCancelSpinLock(irql);
        if (!known) Fail("cancels " + RequestText(Irp) + " that does not exist");
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : NULL;
    Activity activity;
    EnterDriver(activity, device != NULL ? device->DriverObject : nullptr, "cancel routine", (const void *)routine, Irp);
    activity.expectedIrql = irql;  // the routine must release the cancel spin lock
    activity.expectedLocks--;
    routine(device, Irp);
    LeaveDriver(activity);
    return TRUE;
}

extern "C" PEPROCESS IoGetRequestorProcess(PIRP) { return NULL; }
