// The device-management command engine: a table-driven interpreter of device commands over
// the setup and configuration-manager services. The uninstaller runs it in-process through
// RunDeviceCommand with its "remove" and "dp_delete" commands.
#pragma once

#include "platform/user.h"

// ======================================================================================
// Result codes, flags, the command table
// ======================================================================================

#define CMD_OK 0      // done
#define CMD_REBOOT 1  // done, a restart is needed to finish
#define CMD_FAIL 2    // failed
#define CMD_USAGE 3   // wrong arguments

#define CMDFLAG_FORCE 0x00000001  // option -f

// (program base name, machine name or null, flags, argument count, arguments)
typedef int (*CommandHandler)(LPCWSTR BaseName, LPCWSTR Machine, DWORD Flags, int ArgCount, LPCWSTR const ArgList[]);

struct CommandEntry {
    LPCWSTR Name;
    CommandHandler Handler;
    DWORD ShortHelpId;
    DWORD LongHelpId;
};

// 26 rows and a terminating row whose Name is null.
extern const CommandEntry CommandTable[];

// Message ids of the dispatcher.
#define MSG_USAGE 60000
#define MSG_FAILURE 60001
#define MSG_COMMAND_USAGE 60002

// Message ids of "remove" and "dp_delete".
#define MSG_REMOVE_NONE 61202
#define MSG_REMOVE_REBOOT 61203
#define MSG_REMOVE_OK 61204
#define MSG_DPDELETE_INVALID_PATH 61113
#define MSG_DPDELETE_FAILED 61116
#define MSG_DPDELETE_IN_USE 61117
#define MSG_DPDELETE_NOT_OEM 61118
#define MSG_DPDELETE_OK 61119

// Status texts of "remove" in the program's string table.
#define IDS_REMOVED 3009
#define IDS_REMOVED_ON_REBOOT 3010
#define IDS_REMOVE_FAILED 3011

// ======================================================================================
// Dispatcher (dispatcher.cpp)
// ======================================================================================

// ArgList[0] is the program's name or path, then options, the command word and its arguments.
// The engine borrows the vector for the call.
int RunDeviceCommand(int ArgCount, LPCWSTR const ArgList[]);

// Formats message Id of the program's message table with the inserts that follow (each a
// pointer-sized argument: a wide string or a number) and writes it to Stream.
void PrintMessage(HANDLE Stream, DWORD Id, ...);
void ShowUsage(LPCWSTR BaseName);
void ShowCommandUsage(LPCWSTR BaseName, LPCWSTR Command);
void ShowCommandFailure(LPCWSTR BaseName, LPCWSTR Command);
// Writes text to a standard stream as bytes of the ANSI code page, as a console program's
// runtime does; a stream that is not connected takes nothing.
void WriteStreamText(HANDLE Stream, LPCWSTR Text);
// Requests a restart of the local machine; returns the result of the request.
BOOL RestartSystem(void);

// The handlers of the rows this program does not carry out, and of "help" and "?".
int HelpCommand(LPCWSTR BaseName, LPCWSTR Machine, DWORD Flags, int ArgCount, LPCWSTR const ArgList[]);

// ======================================================================================
// Device enumeration and ID matching (matching.cpp)
// ======================================================================================

// One parsed ID argument. Text points into the argument.
struct IdPattern {
    LPCWSTR Text;        // the ID without its prefix characters
    LPCWSTR WildcardAt;  // the first '*' of Text; null for a quoted argument or an ID without '*'
    BOOL IsInstanceId;   // the argument began with '@'
};

// The strings of a multi-string property. The list owns its buffer; FreeIdList frees both.
// A null IdList pointer is an absent list (the property could not be read).
struct IdList {
    LPWSTR *Ids;     // Count pointers into Buffer, then a null pointer
    DWORD Count;
    LPWSTR Buffer;
};

// (set, device, index in the set, context): 0 continues, any other value ends the walk and
// becomes the result of ForEachMatchingDevice. The callback must not destroy the set.
typedef int (*DeviceCallback)(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Index, PVOID Context);

int ForEachMatchingDevice(LPCWSTR BaseName, LPCWSTR Machine, DWORD ListFlags, int ArgCount, LPCWSTR const ArgList[],
                          DeviceCallback Callback, PVOID Context);
IdPattern ParseIdPattern(LPCWSTR Argument);
BOOL MatchIdPattern(LPCWSTR Id, const IdPattern *Pattern);
BOOL MatchAnyId(const IdList *List, const IdPattern *Pattern);
IdList *ReadDeviceIdList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property);
// Takes over Buffer (allocated from the process heap), also when it fails.
IdList *SplitMultiSz(LPWSTR Buffer);
void FreeIdList(IdList *List);

// ======================================================================================
// Remove and driver-package delete (remove.cpp)
// ======================================================================================

#define STATUS_TEXT_CHARS 80

struct RemoveContext {
    int Count;         // devices removed, at once or on restart
    int RebootNeeded;  // 1: at least one removal completes after a restart
    WCHAR RemovedText[STATUS_TEXT_CHARS];
    WCHAR RebootText[STATUS_TEXT_CHARS];
    WCHAR FailedText[STATUS_TEXT_CHARS];
};

int RemoveCommand(LPCWSTR BaseName, LPCWSTR Machine, DWORD Flags, int ArgCount, LPCWSTR const ArgList[]);
int RemoveDeviceCallback(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Index, PVOID Context);
int DeletePackageCommand(LPCWSTR BaseName, LPCWSTR Machine, DWORD Flags, int ArgCount, LPCWSTR const ArgList[]);
