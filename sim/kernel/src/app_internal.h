// Internal interfaces of the application side (app_handles.cpp, app_io.cpp, app_errors.cpp,
// serial_api.cpp).
//
// Locking: the handle table has its own lock, taken only around table accesses. Each open file
// has a lock guarding its list of outstanding requests and its closing state; it is never held
// while a driver runs (IoCallDriver, IoCancelIrp).
#pragma once

#include "pnp_internal.h"
#include "sim/kernel/include/sim_app.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace sim {
namespace app {

struct AppRequest;

// An open file: the file object the drivers see, and the I/O manager's bookkeeping.
struct OpenFile {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;   // the device the name resolved to (referenced)
    PDEVICE_OBJECT top = nullptr;      // the top of its stack at open (referenced)
    DeviceNode *node = nullptr;        // nullptr for a device outside Plug and Play
    bool overlapped = false;
    KEVENT fileEvent;                  // signalled by a request without an event of its own
    KEVENT synchronousLock;            // serialises the requests of a synchronous handle
    std::mutex lock;                   // guards outstanding, closing, closeSent
    std::list<AppRequest *> outstanding;
    bool closing = false;              // cleanup done; close follows the last request
    bool closeSent = false;
};

struct EventObject {
    KEVENT event;
};

// The table of application handles.
HANDLE InsertFile(const std::shared_ptr<OpenFile> &file);
HANDLE InsertEvent(const std::shared_ptr<EventObject> &event);
std::shared_ptr<OpenFile> FileOf(HANDLE handle);
std::shared_ptr<EventObject> EventOf(HANDLE handle);
// Takes a handle out of the table; what it referred to (one of the two, or neither).
void RemoveHandle(HANDLE handle, std::shared_ptr<OpenFile> *file, std::shared_ptr<EventObject> *event);

// Sets the thread's last error from a status and returns FALSE.
BOOL FailWith(NTSTATUS status);

// Issues a request on an open file. With 'overlapped' and an overlapped handle the call may
// return STATUS_PENDING (the request goes on); otherwise it waits for the request.
struct IoParameters {
    UCHAR major = IRP_MJ_READ;
    ULONG ioControlCode = 0;
    PVOID input = nullptr;
    ULONG inputLength = 0;
    PVOID output = nullptr;
    ULONG outputLength = 0;
};
NTSTATUS IssueRequest(const std::shared_ptr<OpenFile> &file, const IoParameters &parameters, LPOVERLAPPED overlapped,
                      ULONG_PTR *information);

// Sends the close request of a file whose cleanup is done and whose last request finished.
void SendClose(const std::shared_ptr<OpenFile> &file);

}  // namespace app
}  // namespace sim
