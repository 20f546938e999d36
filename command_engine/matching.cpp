// Device enumeration and hardware-ID matching: the argument grammar of the device commands
// (class, all devices, instance IDs, hardware and compatible IDs with '*' wildcards), the
// wildcard matcher and the reading of multi-string ID properties.
#include "command_engine/command_engine.h"

// ======================================================================================
// Comparison helpers: ASCII letters fold, nothing else does
// ======================================================================================

static WCHAR FoldAscii(WCHAR c) { return (c >= TEXT('a') && c <= TEXT('z')) ? WCHAR(c - 32) : c; }

static BOOL SameChar(WCHAR a, WCHAR b) { return FoldAscii(a) == FoldAscii(b); }

// The first Count characters of Text equal those of Id. Id may be shorter: its NUL differs.
static BOOL EqualPrefix(LPCWSTR Id, LPCWSTR Text, size_t Count) {
    for (size_t i = 0; i < Count; ++i)
        if (Id[i] == 0 || !SameChar(Id[i], Text[i])) return FALSE;
    return TRUE;
}

static BOOL EqualWhole(LPCWSTR a, LPCWSTR b) {
    for (; *a && *b; ++a, ++b)
        if (!SameChar(*a, *b)) return FALSE;
    return *a == *b;
}

static size_t TextLength(LPCWSTR s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

static LPCWSTR NextStar(LPCWSTR p) {
    while (*p && *p != TEXT('*')) ++p;
    return p;
}

// ======================================================================================
// Patterns
// ======================================================================================

IdPattern ParseIdPattern(LPCWSTR Argument) {
    IdPattern pattern = {Argument, NULL, FALSE};
    if (*Argument == TEXT('@')) {
        pattern.IsInstanceId = TRUE;
        ++Argument;
    }
    if (*Argument == TEXT('\'')) {
        ++Argument;  // taken literally: '*' is an ordinary character
    } else {
        LPCWSTR star = NextStar(Argument);
        pattern.WildcardAt = *star ? star : NULL;
    }
    pattern.Text = Argument;
    return pattern;
}

// A middle segment (text between two stars): the first place from *Position where the whole
// segment appears; the position moves past it. FALSE if it appears nowhere.
static BOOL FindSegment(LPCWSTR *Position, LPCWSTR Segment, size_t Length) {
    LPCWSTR at = *Position;
    for (;;) {
        while (*at && !SameChar(*at, *Segment)) ++at;
        if (*at == 0) return FALSE;
        if (EqualPrefix(at, Segment, Length)) {
            *Position = at + Length;
            return TRUE;
        }
        ++at;
    }
}

BOOL MatchIdPattern(LPCWSTR Id, const IdPattern *Pattern) {
    if (Pattern->WildcardAt == NULL) return EqualWhole(Id, Pattern->Text);
    size_t prefix = size_t(Pattern->WildcardAt - Pattern->Text);
    if (!EqualPrefix(Id, Pattern->Text, prefix)) return FALSE;
    LPCWSTR position = Id + prefix;
    LPCWSTR pattern = Pattern->WildcardAt;
    for (;;) {
        while (*pattern == TEXT('*')) ++pattern;
        if (*pattern == 0) return TRUE;  // the pattern ends right after a star
        LPCWSTR segmentEnd = NextStar(pattern);
        size_t length = size_t(segmentEnd - pattern);
        if (*segmentEnd == 0) {
            // The tail: the rest of the ID must end with it.
            size_t rest = TextLength(position);
            return rest >= length && EqualPrefix(position + (rest - length), pattern, length);
        }
        if (!FindSegment(&position, pattern, length)) return FALSE;
        pattern = segmentEnd;
    }
}

BOOL MatchAnyId(const IdList *List, const IdPattern *Pattern) {
    if (List == NULL) return FALSE;
    for (DWORD i = 0; i < List->Count; ++i)
        if (MatchIdPattern(List->Ids[i], Pattern)) return TRUE;
    return FALSE;
}

// ======================================================================================
// ID lists
// ======================================================================================

IdList *SplitMultiSz(LPWSTR Buffer) {
    HANDLE heap = GetProcessHeap();
    DWORD count = 0;
    for (LPWSTR p = Buffer; *p; p += TextLength(p) + 1) ++count;
    IdList *list = static_cast<IdList *>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(IdList)));
    LPWSTR *ids = static_cast<LPWSTR *>(HeapAlloc(heap, 0, (count + 1) * sizeof(LPWSTR)));
    if (list == NULL || ids == NULL) {
        if (ids != NULL) HeapFree(heap, 0, ids);
        if (list != NULL) HeapFree(heap, 0, list);
        HeapFree(heap, 0, Buffer);
        return NULL;
    }
    DWORD i = 0;
    for (LPWSTR p = Buffer; *p; p += TextLength(p) + 1) ids[i++] = p;
    ids[count] = NULL;
    list->Ids = ids;
    list->Count = count;
    list->Buffer = Buffer;
    return list;
}

void FreeIdList(IdList *List) {
    if (List == NULL) return;
    HANDLE heap = GetProcessHeap();
    HeapFree(heap, 0, List->Ids);
    HeapFree(heap, 0, List->Buffer);
    HeapFree(heap, 0, List);
}

// The first read offers 8192 bytes of an 8196-byte buffer; a longer list is read again with
// the size the system asks for. Each buffer keeps two spare characters past what it offers,
// so that two NULs can always follow the data.
IdList *ReadDeviceIdList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property) {
    HANDLE heap = GetProcessHeap();
    DWORD offered = 8192;
    LPWSTR buffer = static_cast<LPWSTR>(HeapAlloc(heap, 0, 8196));
    while (buffer != NULL) {
        DWORD type = REG_NONE;
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyW(DeviceInfoSet, DeviceInfoData, Property, &type,
                                              reinterpret_cast<PBYTE>(buffer), offered, &required)) {
            DWORD returned = required < offered ? required : offered;
            DWORD end = (returned + 1) / sizeof(WCHAR);  // an odd byte count still ends inside the buffer
            buffer[end] = 0;
            buffer[end + 1] = 0;
            return SplitMultiSz(buffer);
        }
        HeapFree(heap, 0, buffer);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || type != REG_MULTI_SZ || required <= offered) return NULL;
        offered = required;
        buffer = static_cast<LPWSTR>(HeapAlloc(heap, 0, ((required + 1) / sizeof(WCHAR) + 2) * sizeof(WCHAR)));
    }
    return NULL;
}

// ======================================================================================
// ForEachMatchingDevice
// ======================================================================================

struct WalkSelection {
    BOOL HasClass;
    GUID ClassGuid;
    BOOL AllDevices;
    BOOL Search;
    int First;  // index of the first ID argument
};

// Steps 3 and 4 of the grammar: an optional "=class" and an optional "*".
// Returns CMD_OK to go on, or the result to return at once (*Done set).
static int SelectClass(LPCWSTR Machine, int ArgCount, LPCWSTR const ArgList[], WalkSelection *Sel, BOOL *Done) {
    *Done = FALSE;
    if (ArgList[0][0] == TEXT('=') && ArgList[0][1] != 0) {
        GUID guids[1];
        DWORD found = 0;
        if (!SetupDiClassGuidsFromNameExW(ArgList[0] + 1, guids, 1, &found, Machine, NULL) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            *Done = TRUE;
            return CMD_FAIL;
        }
        if (found == 0) {
            *Done = TRUE;
            return CMD_OK;
        }
        Sel->HasClass = TRUE;
        Sel->ClassGuid = guids[0];
        Sel->First = 1;
    }
    if (Sel->First >= ArgCount) {
        Sel->AllDevices = TRUE;
    } else if (ArgList[Sel->First][0] == TEXT('*') && ArgList[Sel->First][1] == 0) {
        Sel->AllDevices = TRUE;
        ++Sel->First;
    }
    return CMD_OK;
}

static HDEVINFO BuildDeviceSet(LPCWSTR Machine, DWORD ListFlags, const WalkSelection *Sel, const IdPattern *Patterns,
                               int PatternCount) {
    const GUID *cls = Sel->HasClass ? &Sel->ClassGuid : NULL;
    HDEVINFO set;
    if (Sel->Search || Sel->AllDevices)
        set = SetupDiGetClassDevsExW(cls, NULL, NULL, ListFlags | (Sel->HasClass ? 0 : DIGCF_ALLCLASSES), NULL, Machine, NULL);
    else
        set = SetupDiCreateDeviceInfoListExW(cls, NULL, Machine, NULL);
    if (set == INVALID_HANDLE_VALUE) return set;
    for (int i = 0; i < PatternCount; ++i) {
        if (Patterns[i].IsInstanceId) SetupDiOpenDeviceInfoW(set, Patterns[i].Text, NULL, 0, NULL);  // failure ignored
    }
    return set;
}

// True when the device matches one of the patterns, tried in argument order.
static BOOL DeviceMatches(HDEVINFO Set, PSP_DEVINFO_DATA Device, HANDLE Machine, const IdPattern *Patterns,
                          int PatternCount) {
    WCHAR instanceId[MAX_DEVICE_ID_LEN + 1];
    for (int i = 0; i < MAX_DEVICE_ID_LEN + 1; ++i) instanceId[i] = 0;
    if (CM_Get_Device_ID_ExW(Device->DevInst, instanceId, MAX_DEVICE_ID_LEN, 0, Machine) != CR_SUCCESS) instanceId[0] = 0;
    for (int i = 0; i < PatternCount; ++i) {
        if (Patterns[i].IsInstanceId) {
            if (MatchIdPattern(instanceId, &Patterns[i])) return TRUE;
            continue;
        }
        IdList *hardware = ReadDeviceIdList(Set, Device, SPDRP_HARDWAREID);
        IdList *compatible = ReadDeviceIdList(Set, Device, SPDRP_COMPATIBLEIDS);
        BOOL match = MatchAnyId(hardware, &Patterns[i]) || MatchAnyId(compatible, &Patterns[i]);
        FreeIdList(hardware);
        FreeIdList(compatible);
        if (match) return TRUE;
    }
    return FALSE;
}

int ForEachMatchingDevice(LPCWSTR BaseName, LPCWSTR Machine, DWORD ListFlags, int ArgCount, LPCWSTR const ArgList[],
                          DeviceCallback Callback, PVOID Context) {
    if (ArgCount <= 0) return CMD_USAGE;
    HANDLE heap = GetProcessHeap();
    IdPattern *patterns = static_cast<IdPattern *>(HeapAlloc(heap, 0, SIZE_T(ArgCount) * sizeof(IdPattern)));
    if (patterns == NULL) return CMD_FAIL;

    int result = CMD_OK;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    WalkSelection sel = {FALSE, GUID(), FALSE, FALSE, 0};
    int patternCount = 0;
    BOOL done = FALSE;
    SP_DEVINFO_LIST_DETAIL_DATA_W detail;
    SP_DEVINFO_DATA device;

    result = SelectClass(Machine, ArgCount, ArgList, &sel, &done);
    if (done) goto Cleanup;
    for (int i = sel.First; i < ArgCount; ++i) {
        patterns[patternCount] = ParseIdPattern(ArgList[i]);
        if (patterns[patternCount].WildcardAt != NULL || !patterns[patternCount].IsInstanceId) sel.Search = TRUE;
        ++patternCount;
    }
    set = BuildDeviceSet(Machine, ListFlags, &sel, patterns, patternCount);
    if (set == INVALID_HANDLE_VALUE) {
        result = CMD_FAIL;
        goto Cleanup;
    }
    detail.cbSize = sizeof(detail);
    if (!SetupDiGetDeviceInfoListDetailW(set, &detail)) {
        result = CMD_FAIL;
        goto Cleanup;
    }
    if (sel.AllDevices) sel.Search = FALSE;  // all devices: the patterns are not consulted

    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        if (sel.Search && !DeviceMatches(set, &device, detail.RemoteMachineHandle, patterns, patternCount)) continue;
        result = Callback(set, &device, index, Context);
        if (result != CMD_OK) break;
    }

Cleanup:
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    HeapFree(heap, 0, patterns);
    return result;
}
