// CardRwUninstall: discovery of the installed OEM driver packages of one family. Windows keeps
// each package's INF in the INF directory as "oem<n>.inf"; a package belongs to the family when
// one field of the first line of the family's model section holds the family's ID.
#include "uninstaller/uninstaller.h"
#include "uninstaller/text.h"

namespace {

// LINE_LEN: the longest field a model line carries.
constexpr DWORD FIELD_CHARS = 256;

// ---------------------------------------------------------------------------------------------
// Matching one INF
// ---------------------------------------------------------------------------------------------

// Opens the INF by its bare name (the setup service looks in the INF directory) and compares
// the field of the section's first line with the value, ignoring case.
bool InfMatches(PCWSTR fileName, PCWSTR section, WORD field, PCWSTR value)
{
    HINF inf = SetupOpenInfFileW(fileName, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE)
        return false;

    bool matches = false;
    INFCONTEXT line;
    WCHAR fieldText[FIELD_CHARS];
    if (SetupFindFirstLineW(inf, section, nullptr, &line) &&
        SetupGetStringFieldW(&line, field, fieldText, FIELD_CHARS, nullptr) &&
        lstrcmpiW(fieldText, value) == 0)
        matches = true;

    SetupCloseInfFile(inf);
    return matches;
}

// ---------------------------------------------------------------------------------------------
// The list
// ---------------------------------------------------------------------------------------------

// Copies the file name up to its last '.' into baseName. A base name that would not fit a slot
// is refused: cutting it short could name a different package.
bool TakeBaseName(PCWSTR fileName, WCHAR (&baseName)[OEM_INF_NAME_CHARS])
{
    size_t length = text::Length(fileName);
    for (size_t i = length; i > 0; i--) {
        if (fileName[i - 1] == '.') {
            length = i - 1;
            break;
        }
    }
    if (length >= OEM_INF_NAME_CHARS)
        return false;
    for (size_t i = 0; i < length; i++)
        baseName[i] = fileName[i];
    baseName[length] = 0;
    return true;
}

bool ListHolds(const OemInfList* list, int count, PCWSTR baseName)
{
    for (int i = 0; i < count; i++) {
        if (lstrcmpiW(list->Names[i], baseName) == 0)
            return true;
    }
    return false;
}

// Enters the base name of fileName once; returns true when a slot was filled.
bool AddToList(OemInfList* list, int* count, PCWSTR fileName)
{
    WCHAR baseName[OEM_INF_NAME_CHARS];
    if (!TakeBaseName(fileName, baseName) || ListHolds(list, *count, baseName))
        return false;
    text::Copy(list->Names[*count], OEM_INF_NAME_CHARS, baseName);
    (*count)++;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// FindOemInfs
// ---------------------------------------------------------------------------------------------

// The search handle is closed on every path; the list fills at most OEM_INF_SLOTS slots.
LONG FindOemInfs(PCWSTR section, WORD field, PCWSTR value, OemInfList* list, int* count)
{
    *count = 0;

    WCHAR searchPath[MAX_PATH];
    if (PathCombineW(searchPath, InfDir, TEXT("oem*.inf")) == nullptr)
        return ERROR_FILENAME_EXCED_RANGE;

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(searchPath, &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error != 0 ? static_cast<LONG>(error) : ERROR_FILE_NOT_FOUND;
    }

    do {
        if (InfMatches(found.cFileName, section, field, value))
            AddToList(list, count, found.cFileName);
    } while (*count < OEM_INF_SLOTS && FindNextFileW(search, &found));

    FindClose(search);
    return *count > 0 ? 0 : -1;
}
