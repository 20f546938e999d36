// CardRwUninstall: file cleanup. Deletes single files even when read-only, and removes, with
// their files, the directories below a starting directory whose path holds a pattern.
#include "uninstaller/uninstaller.h"
#include "uninstaller/text.h"

#ifndef FILE_ATTRIBUTE_REPARSE_POINT
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400   // winnt.h
#endif

namespace {

bool IsDotEntry(PCWSTR name)
{
    return text::Equal(name, TEXT(".")) || text::Equal(name, TEXT(".."));
}

// Clears FILE_ATTRIBUTE_READONLY when the attributes can be read.
void ClearReadOnly(PCWSTR path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
}

// Handles one search entry of the directory D (given with its trailing backslash).
void RemoveEntry(PCWSTR directory, bool directoryMatches, const WIN32_FIND_DATAW& entry, PCWSTR pattern)
{
    if (IsDotEntry(entry.cFileName))
        return;

    WCHAR path[MAX_PATH];
    if (!text::Copy(path, MAX_PATH, directory) || !text::Append(path, MAX_PATH, entry.cFileName))
        return;   // a path that does not fit is passed over, like any other failure

    bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (isDirectory && !isLink)
        RemoveMatchingDirectories(path, pattern);
    else if (isDirectory && text::Contains(path, pattern))
        RemoveDirectoryW(path);      // a junction: its link goes, never what it points to
    else if (!isDirectory && directoryMatches)
        DeleteFileW(path);           // attributes unchanged: a read-only file stays
}

} // namespace

void ForceDeleteFile(PCWSTR path)
{
    ClearReadOnly(path);
    DeleteFileW(path);
}

// The test looks at the directory path (with case), never at file names. A matching directory
// is emptied from the bottom up and then removed; anything left inside keeps it in place.
void RemoveMatchingDirectories(PCWSTR directory, PCWSTR pattern)
{
    WCHAR base[MAX_PATH];
    if (!text::Copy(base, MAX_PATH, directory))
        return;
    size_t length = text::Length(base);
    if ((length == 0 || base[length - 1] != '\\') && !text::Append(base, MAX_PATH, TEXT("\\")))
        return;

    WCHAR searchPath[MAX_PATH];
    if (!text::Copy(searchPath, MAX_PATH, base) || !text::Append(searchPath, MAX_PATH, TEXT("*.*")))
        return;

    bool matches = text::Contains(base, pattern);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(searchPath, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        RemoveEntry(base, matches, entry, pattern);
    } while (FindNextFileW(search, &entry));
    FindClose(search);

    if (matches) {
        ClearReadOnly(directory);
        RemoveDirectoryW(directory);
    }
}
