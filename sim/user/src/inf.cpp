// Simulated INF services and OEM driver package store: a reader for INF files (sections,
// keys, comma-separated fields, quoted text, comments, line continuation, %strings%
// substitution from [Strings]), the setup API calls over it, and SetupUninstallOEMInfW over
// the packages installed in the system INF directory.
#include "internal.h"

#include <cstring>
#include <map>

using namespace sim::user::detail;

namespace {

// ======================================================================================
// Parsed INF
// ======================================================================================

struct InfLine {
    bool hasKey = false;
    std::vector<std::u16string> fields;  // fields[0] is the key (empty if none); raw, before substitution
};

struct InfSection {
    std::u16string name;
    std::vector<InfLine> lines;
};

struct InfFile {
    std::vector<InfSection> sections;
    std::map<std::u16string, std::u16string> strings;  // upper-cased key -> value
    int FindSection(std::u16string_view name) const {
        for (size_t i = 0; i < sections.size(); ++i)
            if (EqualNoCase(sections[i].name, name)) return int(i);
        return -1;
    }
};

struct OemPackage {
    std::u16string name;
    bool inUse = false;
};

struct InfState {
    std::map<uintptr_t, std::unique_ptr<InfFile>> open;
    uintptr_t nextInf = 0xF000;
    std::map<std::u16string, OemPackage> oem;  // upper-cased name
    std::vector<sim::user::UninstallOemInfCall> uninstallCalls;
};
InfState g_inf;

std::u16string Decode(const std::string &bytes) {
    if (bytes.size() >= 2 && BYTE(bytes[0]) == 0xFF && BYTE(bytes[1]) == 0xFE) {
        std::u16string text((bytes.size() - 2) / 2, u'\0');
        std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
        return text;
    }
    if (bytes.size() >= 3 && BYTE(bytes[0]) == 0xEF && BYTE(bytes[1]) == 0xBB && BYTE(bytes[2]) == 0xBF)
        return sim::user::U16(bytes.substr(3));
    return sim::user::U16(bytes);
}

bool IsBlank(WCHAR c) { return c == u' ' || c == u'\t' || c == u'\r'; }

// Splits one logical line into key and fields. Quotes keep commas, semicolons, equal signs
// and blanks; "" inside quotes is one quote. Blanks around unquoted text are dropped.
InfLine ParseLine(const std::u16string &text) {
    InfLine line;
    std::vector<std::u16string> fields;
    std::u16string cur;
    size_t pendingBlanks = 0;  // blanks after unquoted text, kept only if more text follows
    bool inQuotes = false, any = false, sawEquals = false;
    auto finish = [&] {
        fields.push_back(cur);
        cur.clear();
        pendingBlanks = 0;
        any = false;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        WCHAR c = text[i];
        if (inQuotes) {
            if (c == u'"') {
                if (i + 1 < text.size() && text[i + 1] == u'"') {
                    cur.push_back(u'"');
                    ++i;
                } else {
                    inQuotes = false;
                }
            } else {
                cur.push_back(c);
            }
            continue;
        }
        if (c == u';') break;
        if (c == u'"') {
            if (any) cur.append(pendingBlanks, u' ');
            pendingBlanks = 0;
            inQuotes = true;
            any = true;
        } else if (c == u'=' && !sawEquals) {
            sawEquals = true;
            finish();
        } else if (c == u',') {
            finish();
        } else if (IsBlank(c)) {
            if (any) ++pendingBlanks;
        } else {
            if (any) cur.append(pendingBlanks, u' ');
            pendingBlanks = 0;
            cur.push_back(c);
            any = true;
        }
    }
    finish();
    line.hasKey = sawEquals;
    if (sawEquals) {
        line.fields = fields;
    } else {
        line.fields.push_back(u"");
        line.fields.insert(line.fields.end(), fields.begin(), fields.end());
    }
    return line;
}

// Reads the INF text; false with the 1-based line of a malformed section header.
bool ParseInf(const std::u16string &text, InfFile *inf, UINT *errorLine) {
    std::vector<std::u16string> physical;
    std::u16string cur;
    for (WCHAR c : text) {
        if (c == u'\n') {
            physical.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    physical.push_back(cur);
    InfSection *section = nullptr;
    for (size_t n = 0; n < physical.size(); ++n) {
        std::u16string logical = physical[n];
        size_t first = n;
        // A backslash as the last character before the end (outside quotes and comments)
        // continues the line.
        for (;;) {
            size_t end = logical.size();
            while (end && IsBlank(logical[end - 1])) --end;
            bool quoted = false;
            size_t cut = end;
            for (size_t i = 0; i < end; ++i) {
                if (logical[i] == u'"') quoted = !quoted;
                if (!quoted && logical[i] == u';') {
                    cut = i;
                    break;
                }
            }
            size_t last = cut;
            while (last && IsBlank(logical[last - 1])) --last;
            if (last && logical[last - 1] == u'\\' && cut == end && n + 1 < physical.size()) {
                logical = logical.substr(0, last - 1) + physical[++n];
                continue;
            }
            break;
        }
        size_t start = 0;
        while (start < logical.size() && IsBlank(logical[start])) ++start;
        if (start == logical.size() || logical[start] == u';') continue;
        if (logical[start] == u'[') {
            size_t close = logical.find(u']', start);
            if (close == std::u16string::npos) {
                if (errorLine) *errorLine = UINT(first + 1);
                SetLastError(ERROR_BAD_SECTION_NAME_LINE);
                return false;
            }
            std::u16string name = logical.substr(start + 1, close - start - 1);
            int existing = inf->FindSection(name);
            if (existing < 0) {
                inf->sections.push_back(InfSection{name, {}});
                existing = int(inf->sections.size() - 1);
            }
            section = &inf->sections[size_t(existing)];
            continue;
        }
        if (!section) continue;  // text before the first section is ignored
        section->lines.push_back(ParseLine(logical.substr(start)));
    }
    int strings = inf->FindSection(u"Strings");
    if (strings >= 0)
        for (auto &line : inf->sections[size_t(strings)].lines)
            if (line.hasKey && line.fields.size() >= 2) inf->strings[Upper(line.fields[0])] = line.fields[1];
    return true;
}

// %key% becomes the [Strings] value, %% a single percent; an unknown key stays as written.
std::u16string Substitute(const InfFile &inf, const std::u16string &raw) {
    std::u16string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != u'%') {
            out.push_back(raw[i]);
            continue;
        }
        size_t close = raw.find(u'%', i + 1);
        if (close == std::u16string::npos) {
            out.append(raw.substr(i));
            break;
        }
        std::u16string key = raw.substr(i + 1, close - i - 1);
        if (key.empty()) {
            out.push_back(u'%');
        } else {
            auto it = inf.strings.find(Upper(key));
            out.append(it != inf.strings.end() ? it->second : raw.substr(i, close - i + 1));
        }
        i = close;
    }
    return out;
}

InfFile *InfFromHandle(PVOID h) {
    auto it = g_inf.open.find(reinterpret_cast<uintptr_t>(h));
    return it == g_inf.open.end() ? nullptr : it->second.get();
}

const InfLine *LineFromContext(PINFCONTEXT ctx, InfFile **infOut) {
    InfFile *inf = ctx ? InfFromHandle(ctx->Inf) : nullptr;
    if (!inf || ctx->Section >= inf->sections.size() || ctx->Line >= inf->sections[ctx->Section].lines.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *infOut = inf;
    return &inf->sections[ctx->Section].lines[ctx->Line];
}

bool HasSeparator(std::u16string_view name) {
    return name.find_first_of(u"\\/:") != std::u16string_view::npos;
}

}  // namespace

// ======================================================================================
// Reset and test interface
// ======================================================================================

namespace sim::user::detail {

void ResetInf() { g_inf = InfState{}; }

int OpenInfs() { return int(g_inf.open.size()); }

}  // namespace sim::user::detail

namespace sim::user {

void InstallOemInf(const std::u16string &name, const std::string &content, bool inUse) {
    SIM_USER_LOCK();
    AddFile(InfDir() + u"\\" + name, content);
    std::u16string pnf = name;
    size_t dot = pnf.find_last_of(u'.');
    pnf = (dot == std::u16string::npos ? pnf : pnf.substr(0, dot)) + u".PNF";
    AddFile(InfDir() + u"\\" + pnf, "compiled");
    g_inf.oem[Upper(name)] = OemPackage{name, inUse};
}

bool OemInfInstalled(const std::u16string &name) {
    SIM_USER_LOCK();
    return g_inf.oem.count(Upper(name)) != 0;
}

std::vector<UninstallOemInfCall> UninstallOemInfCalls() {
    SIM_USER_LOCK();
    return g_inf.uninstallCalls;
}

}  // namespace sim::user

// ======================================================================================
// setupapi: INF files
// ======================================================================================

extern "C" {

// A name without a path is looked for in the INF directory, then in the system directory.
HINF WINAPI SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
    SIM_USER_LOCK();
    if (FailAsScripted("SetupOpenInfFileW")) return INVALID_HANDLE_VALUE;
    if (ErrorLine) *ErrorLine = 0;
    auto name = View(FileName);
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string bytes;
    DWORD error = ERROR_FILE_NOT_FOUND;
    bool read = false;
    if (HasSeparator(name)) {
        read = ReadWholeFile(std::u16string(name), &bytes, &error);
    } else {
        for (const char16_t *dir : {u"C:\\Windows\\inf\\", u"C:\\Windows\\system32\\"})
            if ((read = ReadWholeFile(dir + std::u16string(name), &bytes, &error))) break;
    }
    if (!read) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto inf = std::make_unique<InfFile>();
    if (!ParseInf(Decode(bytes), inf.get(), ErrorLine)) return INVALID_HANDLE_VALUE;
    int version = inf->FindSection(u"Version");
    std::u16string signature;
    if (version >= 0)
        for (auto &line : inf->sections[size_t(version)].lines)
            if (line.hasKey && EqualNoCase(line.fields[0], u"Signature") && line.fields.size() > 1)
                signature = Substitute(*inf, line.fields[1]);
    bool win4 = EqualNoCase(signature, u"$Windows NT$") || EqualNoCase(signature, u"$Chicago$") ||
                EqualNoCase(signature, u"$Windows 95$");
    if ((InfStyle & INF_STYLE_WIN4) && !win4 && !(InfStyle & INF_STYLE_OLDNT)) {
        SetLastError(ERROR_WRONG_INF_STYLE);
        return INVALID_HANDLE_VALUE;
    }
    if (InfClass && *InfClass) {
        std::u16string cls;
        if (version >= 0)
            for (auto &line : inf->sections[size_t(version)].lines)
                if (line.hasKey && EqualNoCase(line.fields[0], u"Class") && line.fields.size() > 1)
                    cls = Substitute(*inf, line.fields[1]);
        if (!EqualNoCase(cls, View(InfClass))) {
            SetLastError(ERROR_CLASS_MISMATCH);
            return INVALID_HANDLE_VALUE;
        }
    }
    uintptr_t h = g_inf.nextInf += 8;
    g_inf.open[h] = std::move(inf);
    return reinterpret_cast<HINF>(h);
}

void WINAPI SetupCloseInfFile(HINF InfHandle) {
    SIM_USER_LOCK();
    g_inf.open.erase(reinterpret_cast<uintptr_t>(InfHandle));
}

BOOL WINAPI SetupFindFirstLineW(HINF InfHandle, PCWSTR Section, PCWSTR Key, PINFCONTEXT Context) {
    SIM_USER_LOCK();
    InfFile *inf = InfFromHandle(InfHandle);
    if (!inf || !Section || !Context) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int s = inf->FindSection(View(Section));
    if (s < 0) {
        SetLastError(ERROR_SECTION_NOT_FOUND);
        return FALSE;
    }
    const auto &lines = inf->sections[size_t(s)].lines;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (Key && !(lines[i].hasKey && EqualNoCase(Substitute(*inf, lines[i].fields[0]), View(Key)))) continue;
        *Context = INFCONTEXT{InfHandle, InfHandle, UINT(s), UINT(i)};
        return TRUE;
    }
    SetLastError(ERROR_LINE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut) {
    SIM_USER_LOCK();
    InfFile *inf = nullptr;
    if (!LineFromContext(ContextIn, &inf)) return FALSE;
    if (ContextIn->Line + 1 >= inf->sections[ContextIn->Section].lines.size()) {
        SetLastError(ERROR_LINE_NOT_FOUND);
        return FALSE;
    }
    *ContextOut = *ContextIn;
    ++ContextOut->Line;
    return TRUE;
}

DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context) {
    SIM_USER_LOCK();
    InfFile *inf = nullptr;
    const InfLine *line = LineFromContext(Context, &inf);
    return line ? DWORD(line->fields.size() - 1) : 0;
}

BOOL WINAPI SetupGetStringFieldW(PINFCONTEXT Context, DWORD FieldIndex, PWSTR ReturnBuffer, DWORD ReturnBufferSize,
                                 PDWORD RequiredSize) {
    SIM_USER_LOCK();
    InfFile *inf = nullptr;
    const InfLine *line = LineFromContext(Context, &inf);
    if (!line) return FALSE;
    if (FieldIndex >= line->fields.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string value = Substitute(*inf, line->fields[FieldIndex]);
    if (RequiredSize) *RequiredSize = DWORD(value.size() + 1);
    if (!ReturnBuffer) {
        if (ReturnBufferSize) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return TRUE;
    }
    if (!CopyOut(value, ReturnBuffer, ReturnBufferSize)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}

// ======================================================================================
// setupapi: OEM driver packages
// ======================================================================================

// Only a bare file name of an installed OEM INF is accepted; a package still used by a device
// needs SUOI_FORCEDELETE. The INF and its precompiled .PNF leave the INF directory.
BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
    SIM_USER_LOCK();
    sim::user::UninstallOemInfCall call{std::u16string(View(InfFileName)), Flags, false, 0};
    DWORD error = 0;
    if (ScriptedFailure("SetupUninstallOEMInfW", &error)) {
    } else if (!InfFileName || Reserved || (Flags & ~DWORD(SUOI_FORCEDELETE)) || HasSeparator(View(InfFileName))) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        auto it = g_inf.oem.find(Upper(View(InfFileName)));
        std::u16string path = sim::user::InfDir() + u"\\" + std::u16string(View(InfFileName));
        if (it == g_inf.oem.end() || !PathIsFile(path)) {
            error = ERROR_NOT_AN_INSTALLED_OEM_INF;
        } else if (it->second.inUse && !(Flags & SUOI_FORCEDELETE)) {
            error = ERROR_INF_IN_USE_BY_DEVICES;
        } else {
            std::u16string name = it->second.name;
            size_t dot = name.find_last_of(u'.');
            std::u16string pnf = sim::user::InfDir() + u"\\" + (dot == std::u16string::npos ? name : name.substr(0, dot)) + u".PNF";
            SetFileAttributesW(path.c_str(), 0);
            DeleteFileW(path.c_str());
            SetFileAttributesW(pnf.c_str(), 0);
            DeleteFileW(pnf.c_str());
            g_inf.oem.erase(it);
        }
    }
    call.succeeded = error == 0;
    call.error = error;
    g_inf.uninstallCalls.push_back(call);
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
