// Object manager of the simulated kernel: reference counts of kernel objects (device objects,
// thread objects, and objects of other parts of the simulation) and the kernel handle table.
#include "kernel_internal.h"

#include <map>
#include <unordered_map>

namespace sim {
namespace detail {

// =====================================================================================
// Reference counts
// =====================================================================================
namespace {

struct ObjectRecord {
    LONG references;
    std::function<void()> release;
};

struct ObjectTable {
    std::mutex lock;  // guards objects
    std::unordered_map<void *, ObjectRecord> objects;
};

ObjectTable &Objects() {
    static ObjectTable *table = new ObjectTable;
    return *table;
}

}  // namespace

void RegisterObjectWithCount(void *object, LONG count, std::function<void()> release) {
    ObjectTable &table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    table.objects[object] = ObjectRecord{count, std::move(release)};
}

bool IsRegisteredObject(void *object) {
    ObjectTable &table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.objects.count(object) != 0;
}

// =====================================================================================
// Handles
// =====================================================================================
namespace {

struct HandleRecord {
    std::string kind;
    void *object;
    std::function<void()> close;
    PDRIVER_OBJECT driver;  // whose code created it
};

struct HandleTable {
    std::mutex lock;  // guards handles and nextValue
    std::map<uintptr_t, HandleRecord> handles;
    uintptr_t nextValue = 0xFFFFFFFF80000004ull;  // kernel handles have the top bit set
};

HandleTable &Handles() {
    static HandleTable *table = new HandleTable;
    return *table;
}

}  // namespace

std::vector<std::string> HandleLeaks(PDRIVER_OBJECT driver) {
    HandleTable &table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    std::vector<std::string> leaks;
    for (auto &entry : table.handles)
        if (entry.second.driver == driver) leaks.push_back(entry.second.kind + " handle " + Hex(entry.first) + " not closed");
    return leaks;
}

void ForgetHandles(PDRIVER_OBJECT driver) {
    HandleTable &table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    for (auto &entry : table.handles)
        if (entry.second.driver == driver) entry.second.driver = nullptr;
}

}  // namespace detail

using namespace detail;

void RegisterObject(void *object, std::function<void()> release) { RegisterObjectWithCount(object, 1, std::move(release)); }

HANDLE CreateHandle(const std::string &kind, void *object, std::function<void()> close) {
    HandleTable &table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t value = table.nextValue;
    table.nextValue += 4;
    table.handles[value] = HandleRecord{kind, object, std::move(close), CurrentDriver()};
    return (HANDLE)value;
}

void *LookupHandle(HANDLE handle, const std::string &kind) {
    HandleTable &table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.handles.find((uintptr_t)handle);
    if (found == table.handles.end() || found->second.kind != kind) return nullptr;
    return found->second.object;
}

}  // namespace sim

// =====================================================================================
// Kernel interfaces
// =====================================================================================
using namespace sim::detail;

namespace {
struct _OBJECT_TYPE_TAG {
    const char *name;
};
_OBJECT_TYPE_TAG threadTypeTag{"Thread"}, eventTypeTag{"Event"}, fileTypeTag{"File"};
POBJECT_TYPE threadType = (POBJECT_TYPE)&threadTypeTag;
POBJECT_TYPE eventType = (POBJECT_TYPE)&eventTypeTag;
POBJECT_TYPE fileType = (POBJECT_TYPE)&fileTypeTag;
}  // namespace

extern "C" {
POBJECT_TYPE *PsThreadType = &threadType;
POBJECT_TYPE *ExEventObjectType = &eventType;
POBJECT_TYPE *IoFileObjectType = &fileType;
}

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
    ObjectTable &table = Objects();
    std::unique_lock<std::mutex> guard(table.lock);
    auto found = table.objects.find(Object);
    if (found == table.objects.end()) {
        guard.unlock();
        Fail("references an object that does not exist (" + Hex((uint64_t)(uintptr_t)Object) + ")");
        return 0;
    }
    return ++found->second.references;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    ObjectTable &table = Objects();
    std::unique_lock<std::mutex> guard(table.lock);
    auto found = table.objects.find(Object);
    if (found == table.objects.end()) {
        guard.unlock();
        Fail("dereferences an object that does not exist or whose references are all gone (" +
             Hex((uint64_t)(uintptr_t)Object) + ")");
        return 0;
    }
    LONG remaining = --found->second.references;
    if (remaining > 0) return remaining;
    std::function<void()> release = std::move(found->second.release);
    table.objects.erase(found);
    guard.unlock();
    if (release) release();
    return 0;
}

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                              PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    std::string kind;
    void *object = nullptr;
    {
        HandleTable &table = Handles();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.handles.find((uintptr_t)Handle);
        if (found == table.handles.end()) return STATUS_INVALID_HANDLE;
        kind = found->second.kind;
        object = found->second.object;
    }
    if (ObjectType == *PsThreadType && kind != "thread") return STATUS_OBJECT_TYPE_MISMATCH;
    if (IsRegisteredObject(object)) ObfReferenceObject(object);
    *Object = object;
    if (HandleInformation != NULL) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = GENERIC_ALL;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    std::function<void()> close;
    bool open = false;
    {
        HandleTable &table = Handles();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.handles.find((uintptr_t)Handle);
        if (found != table.handles.end()) {
            open = true;
            close = std::move(found->second.close);
            table.handles.erase(found);
        }
    }
    if (!open) {
        Fail("closes a handle that is not open (" + Hex((uint64_t)(uintptr_t)Handle) + ")");
        return STATUS_INVALID_HANDLE;
    }
    if (close) close();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NtClose(HANDLE Handle) { return ZwClose(Handle); }
