// File commands: files (optionally read-only), directories and copies of the scenario's INF
// files into the system INF directory.
//
//   file PATH [readonly]       a small file, its directories created as needed
//   dir PATH                   a directory with its parents
//   copy SOURCE PATH           SOURCE relative to the scenario directory
//   expect-file present|absent PATH      a file or a directory
//   expect-count PATTERN N               N files match PATTERN (as FindFirstFileW matches)
#include "state.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------------------------

// Creates every directory of PATH from the drive down.
bool CreateDirectories(const std::wstring& path, std::wstring* problem)
{
    for (size_t i = 3; i <= path.size(); i++) {
        if (i < path.size() && path[i] != L'\\')
            continue;
        std::wstring part = path.substr(0, i);
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *problem = L"cannot create " + part + L": " + ErrorText(GetLastError());
            return false;
        }
    }
    return true;
}

std::wstring Parent(const std::wstring& path)
{
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// ---------------------------------------------------------------------------------------------
// Seeding
// ---------------------------------------------------------------------------------------------

bool SeedFile(const Args& args, std::wstring* problem)
{
    if (args.size() == 3 && args[2] != L"readonly") {
        *problem = L"the only file option is \"readonly\"";
        return false;
    }
    if (!CreateDirectories(Parent(args[1]), problem))
        return false;
    HANDLE file = CreateFileW(args[1].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *problem = ErrorText(GetLastError());
        return false;
    }
    const char content[] = "card reader/writer test file\r\n";
    DWORD written = 0;
    bool ok = WriteFile(file, content, sizeof(content) - 1, &written, nullptr) != FALSE;
    CloseHandle(file);
    if (ok && args.size() == 3)
        ok = SetFileAttributesW(args[1].c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
    if (!ok)
        *problem = ErrorText(GetLastError());
    return ok;
}

bool SeedDirectory(const Args& args, std::wstring* problem)
{
    return CreateDirectories(args[1], problem);
}

bool SeedCopy(const Args& args, std::wstring* problem)
{
    std::wstring source = DataDirectory + L"\\" + args[1];
    if (!CreateDirectories(Parent(args[2]), problem))
        return false;
    if (!CopyFileW(source.c_str(), args[2].c_str(), FALSE)) {
        *problem = L"cannot copy " + source + L": " + ErrorText(GetLastError());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------------------------

bool ExpectFile(const Args& args, std::wstring* problem)
{
    bool present = GetFileAttributesW(args[2].c_str()) != INVALID_FILE_ATTRIBUTES;
    return ExpectPresence(args[1], present, L"the file", problem);
}

bool ExpectCount(const Args& args, std::wstring* problem)
{
    unsigned long expected = wcstoul(args[2].c_str(), nullptr, 10);
    unsigned long found = 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(args[1].c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do
            found++;
        while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    if (found == expected)
        return true;
    *problem = std::to_wstring(found) + L" match";
    return false;
}

} // namespace

const Command FileCommands[] = {
    { L"file", 1, 2, SeedFile },
    { L"dir", 1, 1, SeedDirectory },
    { L"copy", 2, 2, SeedCopy },
    { L"expect-file", 2, 2, ExpectFile },
    { L"expect-count", 2, 2, ExpectCount },
    { nullptr, 0, 0, nullptr },
};
