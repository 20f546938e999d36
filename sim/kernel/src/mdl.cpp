// Memory descriptor lists of the simulated kernel. Memory is never paged out here, so an
// MDL only records the buffer it describes and its state (locked, mapped, partial); the
// verifier checks the state transitions a real MDL would need.
#include "kernel_internal.h"

#include <cstdlib>
#include <unordered_map>

namespace sim {
namespace detail {
namespace {

struct MdlRecord {
    PDRIVER_OBJECT driver;
    bool internal;  // built by the I/O manager for its own request
};

struct MdlTable {
    std::mutex lock;  // guards mdls
    std::unordered_map<PMDL, MdlRecord> mdls;
};

MdlTable &Mdls() {
    static MdlTable *table = new MdlTable;
    return *table;
}

PMDL NewMdl(PVOID va, ULONG length) {
    auto mdl = (PMDL)calloc(1, sizeof(MDL));
    if (mdl == NULL) return NULL;
    ULONG_PTR address = (ULONG_PTR)va;
    ULONG_PTR pages = ((address & (PAGE_SIZE - 1)) + length + PAGE_SIZE - 1) >> PAGE_SHIFT;
    mdl->Size = (CSHORT)(sizeof(MDL) + pages * sizeof(ULONG_PTR));
    mdl->StartVa = (PVOID)(address & ~(ULONG_PTR)(PAGE_SIZE - 1));
    mdl->ByteOffset = (ULONG)(address & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
    return mdl;
}

bool Forget(PMDL mdl) {
    MdlTable &table = Mdls();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.mdls.erase(mdl) != 0;
}

}  // namespace

PMDL AllocateMdlInternal(PVOID va, ULONG length) {
    PMDL mdl = NewMdl(va, length);
    if (mdl == NULL) return NULL;
    std::lock_guard<std::mutex> guard(Mdls().lock);
    Mdls().mdls[mdl] = MdlRecord{nullptr, true};
    return mdl;
}

void FreeMdlInternal(PMDL mdl) {
    if (!Forget(mdl)) {
        Fail("the I/O manager frees an MDL that a driver already freed (" + Hex((uint64_t)(uintptr_t)mdl) + ")");
        return;
    }
    free(mdl);
}

std::vector<std::string> MdlLeaks(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(Mdls().lock);
    std::vector<std::string> leaks;
    for (auto &entry : Mdls().mdls)
        if (!entry.second.internal && entry.second.driver == driver)
            leaks.push_back("MDL " + Hex((uint64_t)(uintptr_t)entry.first) + " of " +
                            std::to_string(entry.first->ByteCount) + " bytes not freed");
    return leaks;
}

void ForgetMdls(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(Mdls().lock);
    for (auto &entry : Mdls().mdls)
        if (entry.second.driver == driver) entry.second.driver = nullptr;
}

}  // namespace detail
}  // namespace sim

using namespace sim::detail;

// =====================================================================================
// Allocation
// =====================================================================================
// With an IRP: the first MDL becomes Irp->MdlAddress, a secondary one is chained at the end.
extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
    if (sim::ShouldFail(sim::FaultMdl)) return NULL;
    PMDL mdl = NewMdl(VirtualAddress, Length);
    if (mdl == NULL) return NULL;
    {
        std::lock_guard<std::mutex> guard(Mdls().lock);
        Mdls().mdls[mdl] = MdlRecord{sim::CurrentDriver(), false};
    }
    if (Irp != NULL) {
        if (!SecondaryBuffer || Irp->MdlAddress == NULL) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != NULL) last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

extern "C" VOID IoFreeMdl(PMDL Mdl) {
    if (!Forget(Mdl)) {
        Fail("frees an MDL that is not allocated (freed twice?) " + Hex((uint64_t)(uintptr_t)Mdl));
        return;
    }
    free(Mdl);
}

// =====================================================================================
// State
// =====================================================================================
extern "C" VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

extern "C" VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE, LOCK_OPERATION Operation) {
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) Fail("locks the pages of an MDL twice");
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

extern "C" VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) Fail("unlocks the pages of an MDL that is not locked");
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
}

// The range must lie inside the source; a length of 0 means up to the end of the source.
extern "C" VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    PCHAR sourceStart = (PCHAR)MmGetMdlVirtualAddress(SourceMdl);
    PCHAR sourceEnd = sourceStart + SourceMdl->ByteCount;
    PCHAR start = (PCHAR)VirtualAddress;
    if (Length == 0 && start >= sourceStart && start <= sourceEnd) Length = (ULONG)(sourceEnd - start);
    if (start < sourceStart || start + Length > sourceEnd) {
        Fail("builds a partial MDL outside its source MDL");
        return;
    }
    ULONG_PTR address = (ULONG_PTR)VirtualAddress;
    TargetMdl->StartVa = (PVOID)(address & ~(ULONG_PTR)(PAGE_SIZE - 1));
    TargetMdl->ByteOffset = (ULONG)(address & (PAGE_SIZE - 1));
    TargetMdl->ByteCount = Length;
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MdlFlags = (CSHORT)((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                   (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_WRITE_OPERATION)));
    if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) TargetMdl->MappedSystemVa = VirtualAddress;
}

// Only an MDL whose pages are locked (or that describes non-paged pool, or is a partial MDL
// of such) can be mapped.
extern "C" PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL))) Fail("maps an MDL whose pages are not locked");
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= (Mdl->MdlFlags & MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}

extern "C" VOID MmPrepareMdlForReuse(PMDL Mdl) {
    Mdl->MdlFlags &= ~MDL_PARTIAL_HAS_BEEN_MAPPED;
    if (Mdl->MdlFlags & MDL_PARTIAL) Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}
