// Simulated Win32 user mode: the print spooler (<winspool.h>). The queues are a set a test
// defines; opening and deleting can be scripted to fail.
#pragma once

#include <string>
#include <vector>

#define PRINTER_ACCESS_ADMINISTER 0x00000004
#define PRINTER_ACCESS_USE 0x00000008
#define PRINTER_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | PRINTER_ACCESS_ADMINISTER | PRINTER_ACCESS_USE)

typedef struct _devicemodeW DEVMODEW, *PDEVMODEW, *LPDEVMODEW;

typedef struct _PRINTER_DEFAULTSW {
    LPWSTR pDatatype;
    LPDEVMODEW pDevMode;
    ACCESS_MASK DesiredAccess;
} PRINTER_DEFAULTSW, *PPRINTER_DEFAULTSW, *LPPRINTER_DEFAULTSW;

extern "C" {
BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault);
BOOL WINAPI DeletePrinter(HANDLE hPrinter);
BOOL WINAPI ClosePrinter(HANDLE hPrinter);
}

namespace sim::user {

// Adds a queue; names compare without regard to case, as the spooler's do.
void AddPrinterQueue(const std::u16string& name);
// The queues that exist, in the order they were added.
std::vector<std::u16string> PrinterQueues();
// Makes OpenPrinterW or DeletePrinter fail for one queue with the given error.
void FailPrinterOpen(const std::u16string& name, DWORD error);
void FailPrinterDelete(const std::u16string& name, DWORD error);
// Printer handles opened and not yet closed.
int OpenPrinterHandles();
void ResetSpooler();

} // namespace sim::user
