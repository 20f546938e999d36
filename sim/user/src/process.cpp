// Simulated process services: the last error, scripted failures, reset, modules loaded by
// name, local and heap memory, message formatting, the standard streams, the process token's
// privileges and shutdown requests.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace sim::user::detail {

// ======================================================================================
// Lock, last error, scripted failures
// ======================================================================================

std::recursive_mutex &Lock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {
thread_local DWORD t_lastError = 0;

struct Script {
    DWORD error = 0;
    int skip = 0;   // calls still to pass before failing
    int count = 0;  // calls to fail, 0: unlimited
};
std::map<std::string, Script> g_scripts;
std::map<std::string, int> g_callCounts;
std::vector<std::function<void()>> g_resetHooks;
}  // namespace

bool ScriptedFailure(const char *function, DWORD *error) {
    SIM_USER_LOCK();
    ++g_callCounts[function];
    auto it = g_scripts.find(function);
    if (it == g_scripts.end()) return false;
    Script &s = it->second;
    if (s.skip > 0) {
        --s.skip;
        return false;
    }
    *error = s.error;
    if (s.count > 0 && --s.count == 0) g_scripts.erase(it);
    return true;
}

// ======================================================================================
// Strings
// ======================================================================================

WCHAR Upcase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return WCHAR(c - 32);
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return WCHAR(c - 32);
    return c;
}

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (auto &c : out) c = Upcase(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

std::u16string_view View(const WCHAR *s) {
    if (!s) return {};
    size_t n = 0;
    while (s[n]) ++n;
    return std::u16string_view(s, n);
}

bool CopyOut(std::u16string_view text, WCHAR *buffer, size_t cch) {
    if (!buffer || text.size() + 1 > cch) return false;
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    return true;
}

// ======================================================================================
// Process state
// ======================================================================================

namespace {
const HANDLE kStdOut = reinterpret_cast<HANDLE>(0x1011);
const HANDLE kStdErr = reinterpret_cast<HANDLE>(0x1012);
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(-1);
const HMODULE kProgramModule = reinterpret_cast<HMODULE>(0x140000000ull);
const HMODULE kSetupApiModule = reinterpret_cast<HMODULE>(0x7ff800000000ull);

struct ProcessState {
    bool streamsConnected = true;
    std::string out, err;
    std::map<DWORD, std::u16string> messages;
    bool hasMessageTable = false;
    bool setupApiLoads = true;
    bool setupApiExports = true;
    int setupApiRefs = 0;
    std::set<void *> allocations;
    std::map<uintptr_t, DWORD> tokens;  // handle -> granted access
    uintptr_t nextToken = 0x2000;
    std::map<std::u16string, bool> privileges;  // upper name -> enabled; absent: not held
    std::vector<ShutdownRequest> shutdowns;
};
ProcessState g_process;

struct PrivilegeName {
    const char16_t *name;
    DWORD luid;
};
const PrivilegeName kPrivileges[] = {
    {u"SeSecurityPrivilege", 8},       {u"SeBackupPrivilege", 17},  {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},      {u"SeDebugPrivilege", 20},   {u"SeTakeOwnershipPrivilege", 9},
    {u"SeRemoteShutdownPrivilege", 24}};
}  // namespace

void ResetProcess() {
    g_process.streamsConnected = true;
    g_process.out.clear();
    g_process.err.clear();
    g_process.messages.clear();
    g_process.hasMessageTable = false;
    g_process.setupApiLoads = true;
    g_process.setupApiExports = true;
    g_process.setupApiRefs = 0;
    for (void *p : g_process.allocations) std::free(p);
    g_process.allocations.clear();
    g_process.tokens.clear();
    g_process.privileges.clear();
    g_process.privileges[Upper(u"SeShutdownPrivilege")] = false;
    g_process.privileges[Upper(u"SeBackupPrivilege")] = false;
    g_process.privileges[Upper(u"SeRestorePrivilege")] = false;
    g_process.shutdowns.clear();
}

int OpenTokens() { return int(g_process.tokens.size()); }
int OpenModules() { return g_process.setupApiRefs; }
int OpenAllocations() { return int(g_process.allocations.size()); }

}  // namespace sim::user::detail

using namespace sim::user::detail;

// ======================================================================================
// Test interface
// ======================================================================================

namespace sim::user {

void RegisterResetHook(std::function<void()> hook) {
    SIM_USER_LOCK();
    g_resetHooks.push_back(std::move(hook));
}

void Reset() {
    SIM_USER_LOCK();
    g_scripts.clear();
    g_callCounts.clear();
    ResetProcess();
    ResetSecurity();
    ResetFileSystem();
    ResetRegistry();
    ResetDevices();
    ResetInf();
    for (auto &hook : g_resetHooks) hook();
    t_lastError = 0;
}

void FailCall(const std::string &function, DWORD error, int nth, int count) {
    SIM_USER_LOCK();
    g_scripts[function] = Script{error, nth > 0 ? nth - 1 : 0, count};
}

int CallCount(const std::string &function) {
    SIM_USER_LOCK();
    auto it = g_callCounts.find(function);
    return it == g_callCounts.end() ? 0 : it->second;
}

std::u16string U16(const std::string &utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        char32_t cp;
        int len;
        if (c < 0x80) { cp = c; len = 1; }
        else if ((c >> 5) == 6 && i + 1 < utf8.size()) { cp = c & 0x1F; len = 2; }
        else if ((c >> 4) == 14 && i + 2 < utf8.size()) { cp = c & 0x0F; len = 3; }
        else if ((c >> 3) == 30 && i + 3 < utf8.size()) { cp = c & 0x07; len = 4; }
        else { cp = 0xFFFD; len = 1; }
        for (int k = 1; k < len; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::string Utf8(const std::u16string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) out.push_back(char(cp));
        else if (cp < 0x800) { out.push_back(char(0xC0 | (cp >> 6))); out.push_back(char(0x80 | (cp & 0x3F))); }
        else if (cp < 0x10000) {
            out.push_back(char(0xE0 | (cp >> 12)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string Utf8(const WCHAR *text) { return Utf8(std::u16string(View(text))); }

void SetStdStreamsConnected(bool connected) {
    SIM_USER_LOCK();
    g_process.streamsConnected = connected;
}
std::string StdOut() {
    SIM_USER_LOCK();
    return g_process.out;
}
std::string StdErr() {
    SIM_USER_LOCK();
    return g_process.err;
}
void SetMessageTable(const std::map<DWORD, std::u16string> &messages) {
    SIM_USER_LOCK();
    g_process.messages = messages;
    g_process.hasMessageTable = true;
}
void SetSetupApiAvailable(bool loads, bool exportsUninstallOemInf) {
    SIM_USER_LOCK();
    g_process.setupApiLoads = loads;
    g_process.setupApiExports = exportsUninstallOemInf;
}
void SetPrivilegeHeld(const std::u16string &name, bool held) {
    SIM_USER_LOCK();
    if (held) g_process.privileges.emplace(Upper(name), false);
    else g_process.privileges.erase(Upper(name));
}
bool PrivilegeEnabled(const std::u16string &name) {
    SIM_USER_LOCK();
    auto it = g_process.privileges.find(Upper(name));
    return it != g_process.privileges.end() && it->second;
}
std::vector<ShutdownRequest> ShutdownRequests() {
    SIM_USER_LOCK();
    return g_process.shutdowns;
}

}  // namespace sim::user

// ======================================================================================
// Last error, modules
// ======================================================================================

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    SIM_USER_LOCK();
    if (!lpModuleName) return kProgramModule;
    std::u16string name = Upper(View(lpModuleName));
    if ((name == u"SETUPAPI.DLL" || name == u"SETUPAPI") && g_process.setupApiRefs > 0) return kSetupApiModule;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    SIM_USER_LOCK();
    std::u16string path;
    if (!hModule || hModule == kProgramModule) path = u"C:\\Installer\\UnInstall_V7420.exe";
    else if (hModule == kSetupApiModule && g_process.setupApiRefs > 0) path = u"C:\\Windows\\system32\\setupapi.dll";
    else {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() + 1 > nSize) {  // truncated and terminated, as Windows does
        std::memcpy(lpFilename, path.data(), (nSize - 1) * sizeof(WCHAR));
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    CopyOut(path, lpFilename, nSize);
    SetLastError(ERROR_SUCCESS);
    return DWORD(path.size());
}

// Only the setup library is known by name: "setupapi.dll" or "setupapi", with or without the
// system directory in front.
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    SIM_USER_LOCK();
    if (FailAsScripted("LoadLibraryW")) return nullptr;
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string name = Upper(View(lpLibFileName));
    size_t slash = name.find_last_of(u"\\/");
    std::u16string base = slash == std::u16string::npos ? name : name.substr(slash + 1);
    bool pathOk = slash == std::u16string::npos || EqualNoCase(name.substr(0, slash), u"C:\\WINDOWS\\SYSTEM32");
    if (!pathOk || (base != u"SETUPAPI.DLL" && base != u"SETUPAPI") || !g_process.setupApiLoads) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++g_process.setupApiRefs;
    return kSetupApiModule;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    SIM_USER_LOCK();
    if (hLibModule != kSetupApiModule || g_process.setupApiRefs == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    --g_process.setupApiRefs;
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    SIM_USER_LOCK();
    if (FailAsScripted("GetProcAddress")) return nullptr;
    if (hModule != kSetupApiModule || g_process.setupApiRefs == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (reinterpret_cast<uintptr_t>(lpProcName) > 0xFFFF && std::strcmp(lpProcName, "SetupUninstallOEMInfW") == 0 &&
        g_process.setupApiExports)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetupUninstallOEMInfW));
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

// ======================================================================================
// Memory
// ======================================================================================

static void *AllocateBlock(SIZE_T bytes, bool zero) {
    void *p = zero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (p) g_process.allocations.insert(p);
    return p;
}

static bool FreeBlock(void *p) {
    auto it = g_process.allocations.find(p);
    if (it == g_process.allocations.end()) return false;
    g_process.allocations.erase(it);
    std::free(p);
    return true;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    SIM_USER_LOCK();
    if (FailAsScripted("LocalAlloc")) return nullptr;
    void *p = AllocateBlock(uBytes, (uFlags & LMEM_ZEROINIT) != 0);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    SIM_USER_LOCK();
    if (!hMem) return nullptr;
    if (!FreeBlock(hMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    return nullptr;
}

HANDLE WINAPI GetProcessHeap(void) { return reinterpret_cast<HANDLE>(0x3000); }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    SIM_USER_LOCK();
    if (FailAsScripted("HeapAlloc")) return nullptr;
    return AllocateBlock(dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    SIM_USER_LOCK();
    if (!lpMem) return TRUE;
    if (!FreeBlock(lpMem)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// ======================================================================================
// Message formatting
// ======================================================================================

// Expands a message text: %1..%99 inserts (type !s! by default, !d! !u! !x! for numbers),
// %n line break, %r carriage return, %t tab, %% and the other escaped characters.
static bool ExpandMessage(std::u16string_view text, DWORD flags, va_list *args, std::u16string *out) {
    const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    const bool argArray = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0;
    std::map<int, uint64_t> fetched;  // va_list inserts are fetched in ascending order once
    int nextFetch = 1;
    for (size_t i = 0; i < text.size(); ++i) {
        WCHAR c = text[i];
        if (c != u'%' || i + 1 >= text.size()) {
            out->push_back(c);
            continue;
        }
        WCHAR d = text[++i];
        if (d >= u'1' && d <= u'9') {
            int n = d - u'0';
            if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9') n = n * 10 + (text[++i] - u'0');
            std::u16string type = u"s";
            if (i + 1 < text.size() && text[i + 1] == u'!') {
                size_t end = text.find(u'!', i + 2);
                if (end == std::u16string_view::npos) return false;
                type = std::u16string(text.substr(i + 2, end - i - 2));
                i = end;
            }
            if (ignoreInserts) {
                out->append(u"%").append(std::u16string(1, d));
                continue;
            }
            if (!args) return false;
            uint64_t value;
            if (argArray) {
                value = reinterpret_cast<const DWORD_PTR *>(args)[n - 1];
            } else {
                while (nextFetch <= n) fetched[nextFetch++] = va_arg(*args, uint64_t);
                value = fetched[n];
            }
            if (type == u"s") {
                out->append(View(reinterpret_cast<const WCHAR *>(value)));
            } else {
                char buf[32];
                if (type == u"d") snprintf(buf, sizeof buf, "%d", int32_t(value));
                else if (type == u"u") snprintf(buf, sizeof buf, "%u", uint32_t(value));
                else if (type == u"x") snprintf(buf, sizeof buf, "%x", uint32_t(value));
                else if (type == u"X") snprintf(buf, sizeof buf, "%X", uint32_t(value));
                else return false;
                out->append(sim::user::U16(buf));
            }
        } else if (d == u'0') {
            return true;
        } else if (d == u'n') {
            out->append(u"\r\n");
        } else if (d == u'r') {
            out->push_back(u'\r');
        } else if (d == u't') {
            out->push_back(u'\t');
        } else {
            out->push_back(d);
        }
    }
    return true;
}

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                            DWORD nSize, va_list *Arguments) {
    SIM_USER_LOCK();
    std::u16string text;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        text = std::u16string(View(static_cast<const WCHAR *>(lpSource)));
    } else if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE &&
               (lpSource == nullptr || lpSource == kProgramModule)) {
        if (!g_process.hasMessageTable) {
            SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return 0;
        }
        auto it = g_process.messages.find(dwMessageId);
        if (it == g_process.messages.end()) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        text = it->second;
    } else if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE && lpSource == kSetupApiModule) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    } else {
        SetLastError(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM ? ERROR_MR_MID_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string expanded;
    if (!ExpandMessage(text, dwFlags, Arguments, &expanded)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t chars = std::max<size_t>(expanded.size() + 1, nSize);
        auto *block = static_cast<WCHAR *>(AllocateBlock(chars * sizeof(WCHAR), true));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        CopyOut(expanded, block, chars);
        *reinterpret_cast<WCHAR **>(lpBuffer) = block;
    } else if (!CopyOut(expanded, lpBuffer, nSize)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return DWORD(expanded.size());
}

// ======================================================================================
// Standard streams
// ======================================================================================

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    SIM_USER_LOCK();
    if (nStdHandle != STD_OUTPUT_HANDLE && nStdHandle != STD_ERROR_HANDLE && nStdHandle != STD_INPUT_HANDLE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (!g_process.streamsConnected || nStdHandle == STD_INPUT_HANDLE) return nullptr;
    return nStdHandle == STD_OUTPUT_HANDLE ? kStdOut : kStdErr;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    SIM_USER_LOCK();
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    std::string *stream = nullptr;
    if (g_process.streamsConnected && hFile == kStdOut) stream = &g_process.out;
    if (g_process.streamsConnected && hFile == kStdErr) stream = &g_process.err;
    if (!stream) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nNumberOfBytesToWrite && !lpBuffer) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    stream->append(static_cast<const char *>(lpBuffer), nNumberOfBytesToWrite);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
    SIM_USER_LOCK();
    if (hObject == kCurrentProcess) return TRUE;
    auto it = g_process.tokens.find(reinterpret_cast<uintptr_t>(hObject));
    if (it == g_process.tokens.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_process.tokens.erase(it);
    return TRUE;
}

// The ANSI code page of the simulated system is UTF-8, so any text survives the conversion.
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string text = cchWideChar < 0 ? std::u16string(View(lpWideCharStr)) + u'\0'
                                          : std::u16string(lpWideCharStr, size_t(cchWideChar));
    std::string bytes = sim::user::Utf8(text);
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    if (cbMultiByte == 0) return int(bytes.size());
    if (int(bytes.size()) > cbMultiByte) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, bytes.data(), bytes.size());
    return int(bytes.size());
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string bytes = cbMultiByte < 0 ? std::string(lpMultiByteStr) + '\0' : std::string(lpMultiByteStr, size_t(cbMultiByte));
    std::u16string text = sim::user::U16(bytes);
    if (cchWideChar == 0) return int(text.size());
    if (int(text.size()) > cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, text.data(), text.size() * sizeof(WCHAR));
    return int(text.size());
}

// ======================================================================================
// Token privileges and shutdown
// ======================================================================================

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    SIM_USER_LOCK();
    if (FailAsScripted("OpenProcessToken")) return FALSE;
    if (ProcessHandle != kCurrentProcess || !TokenHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uintptr_t h = g_process.nextToken += 4;
    g_process.tokens[h] = DesiredAccess;
    *TokenHandle = reinterpret_cast<HANDLE>(h);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    SIM_USER_LOCK();
    if (FailAsScripted("LookupPrivilegeValueW")) return FALSE;
    for (const auto &p : kPrivileges) {
        if (lpName && EqualNoCase(View(lpName), p.name)) {
            lpLuid->LowPart = p.luid;
            lpLuid->HighPart = 0;
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    SIM_USER_LOCK();
    if (FailAsScripted("AdjustTokenPrivileges")) return FALSE;
    auto token = g_process.tokens.find(reinterpret_cast<uintptr_t>(TokenHandle));
    if (token == g_process.tokens.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(token->second & TOKEN_ADJUST_PRIVILEGES)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (DisableAllPrivileges) {
        for (auto &p : g_process.privileges) p.second = false;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (!NewState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES &la = NewState->Privileges[i];
        const PrivilegeName *known = nullptr;
        for (const auto &p : kPrivileges)
            if (p.luid == la.Luid.LowPart && la.Luid.HighPart == 0) known = &p;
        auto held = known ? g_process.privileges.find(Upper(known->name)) : g_process.privileges.end();
        if (held == g_process.privileges.end()) {
            allAssigned = false;
            continue;
        }
        if (la.Attributes & SE_PRIVILEGE_REMOVED) g_process.privileges.erase(held);
        else held->second = (la.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    // Success with ERROR_NOT_ALL_ASSIGNED when the token lacks a privilege, as documented.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

static BOOL RecordShutdown(const WCHAR *machine, const WCHAR *message, DWORD timeout, BOOL force, BOOL reboot,
                           DWORD reason) {
    if (machine && !View(machine).empty() && !EqualNoCase(View(machine), sim::user::ComputerName()) &&
        !EqualNoCase(View(machine), u"\\\\" + sim::user::ComputerName())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto it = g_process.privileges.find(Upper(u"SeShutdownPrivilege"));
    if (it == g_process.privileges.end() || !it->second) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    if (!g_process.shutdowns.empty()) {
        SetLastError(ERROR_SHUTDOWN_IN_PROGRESS);
        return FALSE;
    }
    g_process.shutdowns.push_back(sim::user::ShutdownRequest{std::u16string(View(machine)), std::u16string(View(message)),
                                                             timeout, force != FALSE, reboot != FALSE, reason});
    return TRUE;
}

BOOL WINAPI InitiateSystemShutdownExW(LPWSTR lpMachineName, LPWSTR lpMessage, DWORD dwTimeout, BOOL bForceAppsClosed,
                                      BOOL bRebootAfterShutdown, DWORD dwReason) {
    SIM_USER_LOCK();
    if (FailAsScripted("InitiateSystemShutdownExW")) return FALSE;
    return RecordShutdown(lpMachineName, lpMessage, dwTimeout, bForceAppsClosed, bRebootAfterShutdown, dwReason);
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    SIM_USER_LOCK();
    if (FailAsScripted("ExitWindowsEx")) return FALSE;
    return RecordShutdown(nullptr, nullptr, 0, (uFlags & EWX_FORCE) != 0, (uFlags & EWX_REBOOT) != 0, dwReason);
}

}  // extern "C"

namespace sim::user {

OpenCounts Open() {
    SIM_USER_LOCK();
    OpenCounts c;
    c.registryKeys = OpenKeys();
    c.deviceInfoSets = OpenDeviceInfoSets();
    c.infFiles = OpenInfs();
    c.findHandles = OpenFinds();
    c.modules = OpenModules();
    c.tokens = OpenTokens();
    c.allocations = OpenAllocations();
    return c;
}

}  // namespace sim::user
