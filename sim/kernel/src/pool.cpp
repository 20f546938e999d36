// Pool of the simulated kernel: every block is charged to the driver whose code allocated
// it, so that a driver's leaks show at unload; double and foreign frees are reported.
#include "kernel_internal.h"

#include <cstdlib>
#include <unordered_map>

namespace sim {
namespace detail {
namespace {

struct PoolBlock {
    SIZE_T size;
    ULONG tag;
    bool paged;
    PDRIVER_OBJECT driver;
};

struct PoolState {
    std::mutex lock;  // guards blocks
    std::unordered_map<void *, PoolBlock> blocks;
};

PoolState &Pool() {
    static PoolState *state = new PoolState;
    return *state;
}

const unsigned char kFreshFill = 0xA5;  // uninitialised pool is never conveniently zero
const unsigned char kFreedFill = 0xDD;

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return text;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

PVOID Allocate(SIZE_T size, ULONG tag, bool paged, bool zero) {
    if (paged && Self().irql > APC_LEVEL)
        Fail("allocates paged pool at IRQL " + std::to_string(Self().irql));
    if (ShouldFail(FaultPool)) return NULL;
    void *block = malloc(size != 0 ? size : 1);
    if (block == nullptr) return NULL;
    memset(block, zero ? 0 : kFreshFill, size);
    PoolState &pool = Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.blocks[block] = PoolBlock{size, tag, paged, CurrentDriver()};
    return block;
}

void Free(PVOID P) {
    PoolState &pool = Pool();
    SIZE_T size = 0;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        auto found = pool.blocks.find(P);
        if (found != pool.blocks.end()) {
            known = true;
            size = found->second.size;
            pool.blocks.erase(found);
        }
    }
    if (!known) {
        Fail("frees pool that is not allocated (freed twice or never allocated): " + Hex((uint64_t)(uintptr_t)P));
        return;
    }
    ForgetRequestInFreedPool(P);
    memset(P, kFreedFill, size);
    free(P);
}

}  // namespace

std::vector<std::string> PoolLeaks(PDRIVER_OBJECT driver) {
    PoolState &pool = Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    std::vector<std::string> leaks;
    for (auto &entry : pool.blocks) {
        if (entry.second.driver != driver) continue;
        leaks.push_back(std::string(entry.second.paged ? "paged" : "non-paged") + " pool block of " +
                        std::to_string(entry.second.size) + " bytes, tag '" + TagText(entry.second.tag) + "' at " +
                        Hex((uint64_t)(uintptr_t)entry.first));
    }
    return leaks;
}

void ForgetPool(PDRIVER_OBJECT driver) {
    PoolState &pool = Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    for (auto &entry : pool.blocks)
        if (entry.second.driver == driver) entry.second.driver = nullptr;
}

}  // namespace detail

PoolUsage PoolUsageOf(PDRIVER_OBJECT driver) {
    detail::PoolState &pool = detail::Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    PoolUsage usage;
    for (auto &entry : pool.blocks) {
        if (entry.second.driver != driver) continue;
        usage.blocks++;
        usage.bytes += entry.second.size;
    }
    return usage;
}

}  // namespace sim

using namespace sim::detail;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(NumberOfBytes, Tag, IsPaged(PoolType), false);
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Allocate(NumberOfBytes, 0x656E6F4E /* 'None' */, IsPaged(PoolType), false);
}

extern "C" PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(NumberOfBytes, Tag, (Flags & POOL_FLAG_PAGED) != 0, (Flags & POOL_FLAG_UNINITIALIZED) == 0);
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG) { Free(P); }

extern "C" VOID ExFreePool(PVOID P) { Free(P); }
