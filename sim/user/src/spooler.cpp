// Simulated Win32 user mode: the print spooler. Queues are a set of names (compared without
// regard to case); a handle remembers its queue and the access granted at open. Deleting needs
// the DELETE right that PRINTER_ALL_ACCESS carries, as on Windows.
#include "platform/user.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct PrinterHandle {
    std::u16string Queue;
    ACCESS_MASK Access = 0;
};

struct SpoolerState {
    std::vector<std::u16string> Queues;
    std::map<std::u16string, DWORD> OpenFailures;     // by folded name
    std::map<std::u16string, DWORD> DeleteFailures;
    std::map<PrinterHandle*, std::unique_ptr<PrinterHandle>> Handles;
};

std::mutex g_lock;
SpoolerState g_spooler;

std::u16string Fold(const std::u16string& name)
{
    std::u16string folded = name;
    for (char16_t& c : folded) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return folded;
}

// Caller holds g_lock.
std::vector<std::u16string>::iterator FindQueue(const std::u16string& name)
{
    std::u16string folded = Fold(name);
    for (auto it = g_spooler.Queues.begin(); it != g_spooler.Queues.end(); ++it) {
        if (Fold(*it) == folded)
            return it;
    }
    return g_spooler.Queues.end();
}

// Caller holds g_lock.
PrinterHandle* FindHandle(HANDLE handle)
{
    auto it = g_spooler.Handles.find(static_cast<PrinterHandle*>(handle));
    return it == g_spooler.Handles.end() ? nullptr : it->second.get();
}

} // namespace

extern "C" BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (phPrinter == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string name = pPrinterName != nullptr ? std::u16string(pPrinterName) : std::u16string();
    auto failure = g_spooler.OpenFailures.find(Fold(name));
    if (failure != g_spooler.OpenFailures.end()) {
        SetLastError(failure->second);
        return FALSE;
    }
    if (name.empty() || FindQueue(name) == g_spooler.Queues.end()) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }

    auto handle = std::make_unique<PrinterHandle>();
    handle->Queue = name;
    handle->Access = pDefault != nullptr ? pDefault->DesiredAccess : PRINTER_ACCESS_USE;
    *phPrinter = handle.get();
    g_spooler.Handles[handle.get()] = std::move(handle);
    return TRUE;
}

extern "C" BOOL WINAPI DeletePrinter(HANDLE hPrinter)
{
    std::lock_guard<std::mutex> guard(g_lock);
    PrinterHandle* handle = FindHandle(hPrinter);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((handle->Access & DELETE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto failure = g_spooler.DeleteFailures.find(Fold(handle->Queue));
    if (failure != g_spooler.DeleteFailures.end()) {
        SetLastError(failure->second);
        return FALSE;
    }
    auto queue = FindQueue(handle->Queue);
    if (queue == g_spooler.Queues.end()) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    g_spooler.Queues.erase(queue);
    return TRUE;
}

extern "C" BOOL WINAPI ClosePrinter(HANDLE hPrinter)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (FindHandle(hPrinter) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_spooler.Handles.erase(static_cast<PrinterHandle*>(hPrinter));
    return TRUE;
}

namespace sim::user {

void AddPrinterQueue(const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (FindQueue(name) == g_spooler.Queues.end())
        g_spooler.Queues.push_back(name);
}

std::vector<std::u16string> PrinterQueues()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_spooler.Queues;
}

void FailPrinterOpen(const std::u16string& name, DWORD error)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_spooler.OpenFailures[Fold(name)] = error;
}

void FailPrinterDelete(const std::u16string& name, DWORD error)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_spooler.DeleteFailures[Fold(name)] = error;
}

int OpenPrinterHandles()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<int>(g_spooler.Handles.size());
}

void ResetSpooler()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_spooler = SpoolerState{};
}

} // namespace sim::user
