// The application's handle table, its last error, and events with waits on the virtual clock.
#include "app_internal.h"

#include <map>

namespace sim {
namespace app {

// =====================================================================================
// Handle table
// =====================================================================================
namespace {

struct HandleEntry {
    std::shared_ptr<OpenFile> file;
    std::shared_ptr<EventObject> event;
};

struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, HandleEntry> entries;
    uintptr_t next = 0x1004;
};

HandleTable &Table() {
    static HandleTable *table = new HandleTable;
    return *table;
}

HANDLE Insert(const HandleEntry &entry) {
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.entries[value] = entry;
    return (HANDLE)value;
}

HandleEntry Lookup(HANDLE handle) {
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.entries.find((uintptr_t)handle);
    return found == table.entries.end() ? HandleEntry{} : found->second;
}

thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

HANDLE InsertFile(const std::shared_ptr<OpenFile> &file) { return Insert(HandleEntry{file, nullptr}); }

HANDLE InsertEvent(const std::shared_ptr<EventObject> &event) { return Insert(HandleEntry{nullptr, event}); }

std::shared_ptr<OpenFile> FileOf(HANDLE handle) { return Lookup(handle).file; }

std::shared_ptr<EventObject> EventOf(HANDLE handle) { return Lookup(handle).event; }

void RemoveHandle(HANDLE handle, std::shared_ptr<OpenFile> *file, std::shared_ptr<EventObject> *event) {
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.entries.find((uintptr_t)handle);
    if (found == table.entries.end()) return;
    *file = found->second.file;
    *event = found->second.event;
    table.entries.erase(found);
}

BOOL FailWith(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

}  // namespace app

size_t OpenApplicationHandles() {
    app::HandleTable &table = app::Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.entries.size();
}

}  // namespace sim

using namespace sim::app;

// =====================================================================================
// Last error
// =====================================================================================
DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }

// =====================================================================================
// Events and waits
// =====================================================================================
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
    auto event = std::make_shared<EventObject>();
    KeInitializeEvent(&event->event, bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState ? TRUE : FALSE);
    return InsertEvent(event);
}

BOOL SetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = EventOf(hEvent);
    if (!event) return FailWith(STATUS_INVALID_HANDLE);
    KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = EventOf(hEvent);
    if (!event) return FailWith(STATUS_INVALID_HANDLE);
    KeClearEvent(&event->event);
    return TRUE;
}

// A file handle is signalled when a request of it without an event of its own completes.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<EventObject> event = EventOf(hHandle);
    std::shared_ptr<OpenFile> file = event ? nullptr : FileOf(hHandle);
    if (!event && !file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    PKEVENT object = event ? &event->event : &file->fileEvent;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)dwMilliseconds * 10000;
    NTSTATUS status = KeWaitForSingleObject(object, UserRequest, UserMode, FALSE,
                                            dwMilliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}
