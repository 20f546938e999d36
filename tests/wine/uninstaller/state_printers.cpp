// Printer commands: a printer queue that the spooler can open, made as Wine's spooler needs it
// (a level-3 driver over wineps.drv and a level-2 printer on the FILE: port).
//
//   printer QUEUE DRIVER                   adds the driver (once) and the queue
//   expect-printer present|absent QUEUE    whether the spooler still opens the queue
#include "state.h"

#include <winspool.h>

namespace {

bool AddDriver(const std::wstring& driver, std::wstring* problem)
{
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(driver.c_str());
    info.pDriverPath = const_cast<LPWSTR>(L"wineps.drv");
    info.pDataFile = const_cast<LPWSTR>(L"generic.ppd");
    info.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
    if (AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&info)) ||
        GetLastError() == ERROR_PRINTER_DRIVER_ALREADY_INSTALLED)
        return true;
    *problem = L"AddPrinterDriverW: " + ErrorText(GetLastError());
    return false;
}

bool SeedPrinter(const Args& args, std::wstring* problem)
{
    if (!AddDriver(args[2], problem))
        return false;
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(args[1].c_str());
    info.pPortName = const_cast<LPWSTR>(L"FILE:");
    info.pDriverName = const_cast<LPWSTR>(args[2].c_str());
    info.pPrintProcessor = const_cast<LPWSTR>(L"winprint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (!printer) {
        *problem = L"AddPrinterW: " + ErrorText(GetLastError());
        return false;
    }
    ClosePrinter(printer);
    return true;
}

bool ExpectPrinter(const Args& args, std::wstring* problem)
{
    HANDLE printer = nullptr;
    bool present = OpenPrinterW(const_cast<LPWSTR>(args[2].c_str()), &printer, nullptr) != FALSE;
    if (present)
        ClosePrinter(printer);
    return ExpectPresence(args[1], present, L"the printer queue", problem);
}

} // namespace

const Command PrinterCommands[] = {
    { L"printer", 2, 2, SeedPrinter },
    { L"expect-printer", 2, 2, ExpectPrinter },
    { nullptr, 0, 0, nullptr },
};
