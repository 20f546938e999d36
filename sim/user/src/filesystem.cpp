// Simulated file system: one drive C: held in memory, with Windows semantics: names compare
// without case and keep their spelling, files may be read-only or held open elsewhere,
// directory searches return "." and ".." and then the entries in the order NTFS returns
// them (upper-cased names in code-unit order), and a search sees entries deleted or added
// while it runs. Also the shell's path helpers.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <map>

using namespace sim::user::detail;

namespace {

// ======================================================================================
// The tree
// ======================================================================================

struct Node {
    std::u16string name;
    bool isDir = false;
    DWORD attributes = 0;
    bool inUse = false;
    std::string content;
    std::map<std::u16string, std::shared_ptr<Node>> children;  // key: upper-cased name
    Node *parent = nullptr;
};

struct FindState {
    std::shared_ptr<Node> dir;
    std::u16string mask;      // upper-cased
    std::u16string lastKey;   // upper-cased name of the last entry returned
    bool isRoot = false;
};

struct FsState {
    std::shared_ptr<Node> root;
    std::vector<std::u16string> currentDir;  // components below C:
    std::map<uintptr_t, FindState> finds;
    uintptr_t nextFind = 0x5000;
};

FsState g_fs;

std::vector<std::u16string> SplitComponents(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string cur;
    for (WCHAR c : path) {
        if (c == u'\\' || c == u'/') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

// Resolves a path to its drive and its components below the drive's root, applying "." and
// ".." and the current directory (on C:, the one drive that holds anything). False for a
// malformed path.
bool ResolveOnDrive(std::u16string_view path, std::vector<std::u16string> *out, bool *trailingSlash, WCHAR *drive) {
    if (path.size() >= 4 && path.substr(0, 4) == u"\\\\?\\") path.remove_prefix(4);
    if (trailingSlash) *trailingSlash = !path.empty() && (path.back() == u'\\' || path.back() == u'/');
    *drive = u'C';
    std::vector<std::u16string> parts;
    if (path.size() >= 2 && path[1] == u':') {
        *drive = Upcase(path[0]);
        if (*drive < u'A' || *drive > u'Z') return false;
        path.remove_prefix(2);
        bool relative = path.empty() || (path[0] != u'\\' && path[0] != u'/');
        if (relative && *drive == u'C') parts = g_fs.currentDir;  // drive-relative
    } else if (!path.empty() && (path[0] == u'\\' || path[0] == u'/')) {
        if (path.size() >= 2 && (path[1] == u'\\' || path[1] == u'/')) return false;  // UNC: no network
    } else {
        parts = g_fs.currentDir;
    }
    for (auto &part : SplitComponents(path)) {
        if (part == u".") continue;
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        // Windows drops trailing dots and spaces of a component.
        while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
        if (part.empty()) continue;
        parts.push_back(part);
    }
    *out = parts;
    return true;
}

// The same for the file system itself: only C: exists.
bool Resolve(std::u16string_view path, std::vector<std::u16string> *out, bool *trailingSlash = nullptr) {
    WCHAR drive;
    return ResolveOnDrive(path, out, trailingSlash, &drive) && drive == u'C';
}

std::u16string JoinFull(const std::vector<std::u16string> &parts, WCHAR drive = u'C') {
    std::u16string s = std::u16string(1, drive) + u":\\";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) s += u'\\';
        s += parts[i];
    }
    return s;
}

std::shared_ptr<Node> Walk(const std::vector<std::u16string> &parts, size_t count) {
    std::shared_ptr<Node> node = g_fs.root;
    for (size_t i = 0; i < count; ++i) {
        if (!node->isDir) return nullptr;
        auto it = node->children.find(Upper(parts[i]));
        if (it == node->children.end()) return nullptr;
        node = it->second;
    }
    return node;
}

// Finds the node of a path; on failure sets the error Windows gives: ERROR_FILE_NOT_FOUND
// when only the last component is missing, ERROR_PATH_NOT_FOUND when a directory is.
std::shared_ptr<Node> Lookup(std::u16string_view path, DWORD *error) {
    std::vector<std::u16string> parts;
    WCHAR drive = u'C';
    if (!path.data() || path.empty() || !ResolveOnDrive(path, &parts, nullptr, &drive)) {
        *error = path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME;
        return nullptr;
    }
    if (drive != u'C') {
        *error = ERROR_PATH_NOT_FOUND;  // no such drive
        return nullptr;
    }
    if (parts.empty()) return g_fs.root;
    auto parent = Walk(parts, parts.size() - 1);
    if (!parent || !parent->isDir) {
        *error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    auto it = parent->children.find(Upper(parts.back()));
    if (it == parent->children.end()) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Node> MakeDirs(const std::vector<std::u16string> &parts, size_t count) {
    std::shared_ptr<Node> node = g_fs.root;
    for (size_t i = 0; i < count; ++i) {
        auto &slot = node->children[Upper(parts[i])];
        if (!slot) {
            slot = std::make_shared<Node>();
            slot->name = parts[i];
            slot->isDir = true;
            slot->attributes = FILE_ATTRIBUTE_DIRECTORY;
            slot->parent = node.get();
        }
        node = slot;
    }
    return node;
}

DWORD ReportedAttributes(const Node &n) {
    if (n.isDir) return n.attributes | FILE_ATTRIBUTE_DIRECTORY;
    return n.attributes ? n.attributes : FILE_ATTRIBUTE_NORMAL;
}

// DOS wildcard match: '*' any run, '?' one character; a mask ending in ".*" also matches a
// name without an extension ("*.*" matches everything).
bool MaskMatches(std::u16string_view mask, std::u16string_view name) {
    if (mask.empty()) return name.empty();
    if (mask[0] == u'*') {
        if (mask == u"*" || mask == u"*.*") return true;
        for (size_t i = 0; i <= name.size(); ++i)
            if (MaskMatches(mask.substr(1), name.substr(i))) return true;
        return false;
    }
    if (mask == u".*" && name.empty()) return true;
    if (name.empty()) return false;
    if (mask[0] == u'?' || mask[0] == name[0]) return MaskMatches(mask.substr(1), name.substr(1));
    return false;
}

void FillFindData(const Node *node, const std::u16string &name, WIN32_FIND_DATAW *data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = node ? ReportedAttributes(*node) : FILE_ATTRIBUTE_DIRECTORY;
    if (node && !node->isDir) data->nFileSizeLow = DWORD(node->content.size());
    CopyOut(name.substr(0, MAX_PATH - 1), data->cFileName, MAX_PATH);
}

// The next entry after lastKey that matches the mask; "." and ".." sort first.
bool NextEntry(FindState &f, WIN32_FIND_DATAW *data) {
    std::vector<std::pair<std::u16string, std::pair<std::u16string, const Node *>>> entries;
    if (!f.isRoot) {
        entries.push_back({u".", {u".", f.dir.get()}});
        entries.push_back({u"..", {u"..", nullptr}});
    }
    for (auto &kv : f.dir->children) entries.push_back({kv.first, {kv.second->name, kv.second.get()}});
    std::sort(entries.begin(), entries.end(), [](auto &a, auto &b) { return a.first < b.first; });
    for (auto &e : entries) {
        if (!f.lastKey.empty() && e.first <= f.lastKey) continue;
        if (!MaskMatches(f.mask, e.first)) continue;
        f.lastKey = e.first;
        FillFindData(e.second.second, e.second.first, data);
        return true;
    }
    return false;
}

}  // namespace

// ======================================================================================
// Primitives for the other parts of the stand-in
// ======================================================================================

namespace sim::user::detail {

void ResetFileSystem() {
    g_fs.finds.clear();
    g_fs.root = std::make_shared<Node>();
    g_fs.root->isDir = true;
    g_fs.root->attributes = FILE_ATTRIBUTE_DIRECTORY;
    for (const char16_t *dir : {u"Windows\\inf", u"Windows\\system32\\drivers", u"Windows\\system32\\spool\\drivers\\x64\\3",
                                u"Windows\\Temp", u"Installer"}) {
        auto parts = SplitComponents(dir);
        MakeDirs(parts, parts.size());
    }
    g_fs.currentDir = {u"Installer"};
}

bool ReadWholeFile(const std::u16string &path, std::string *content, DWORD *error) {
    auto node = Lookup(path, error);
    if (!node) return false;
    if (node->isDir) {
        *error = ERROR_ACCESS_DENIED;
        return false;
    }
    *content = node->content;
    return true;
}

bool PathIsFile(const std::u16string &path) {
    DWORD error;
    auto node = Lookup(path, &error);
    return node && !node->isDir;
}

std::u16string FullPath(const std::u16string &path) {
    std::vector<std::u16string> parts;
    if (!Resolve(path, &parts)) return path;
    return JoinFull(parts);
}

int OpenFinds() { return int(g_fs.finds.size()); }

}  // namespace sim::user::detail

// ======================================================================================
// Test interface
// ======================================================================================

namespace sim::user {

void AddDirectory(const std::u16string &path) {
    SIM_USER_LOCK();
    std::vector<std::u16string> parts;
    if (Resolve(path, &parts)) MakeDirs(parts, parts.size());
}

void AddFile(const std::u16string &path, const std::string &content, DWORD attributes) {
    SIM_USER_LOCK();
    std::vector<std::u16string> parts;
    if (!Resolve(path, &parts) || parts.empty()) return;
    auto dir = MakeDirs(parts, parts.size() - 1);
    auto &slot = dir->children[Upper(parts.back())];
    if (!slot) slot = std::make_shared<Node>();
    slot->name = parts.back();
    slot->isDir = false;
    slot->attributes = attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
    slot->content = content;
    slot->parent = dir.get();
}

bool FileExists(const std::u16string &path) {
    SIM_USER_LOCK();
    return PathIsFile(path);
}

bool DirectoryExists(const std::u16string &path) {
    SIM_USER_LOCK();
    DWORD error;
    auto node = Lookup(path, &error);
    return node && node->isDir;
}

std::optional<std::string> FileContent(const std::u16string &path) {
    SIM_USER_LOCK();
    std::string content;
    DWORD error;
    if (!ReadWholeFile(path, &content, &error)) return std::nullopt;
    return content;
}

std::vector<std::u16string> ListDirectory(const std::u16string &path) {
    SIM_USER_LOCK();
    DWORD error;
    std::vector<std::u16string> names;
    auto node = Lookup(path, &error);
    if (!node || !node->isDir) return names;
    for (auto &kv : node->children) names.push_back(kv.second->name);  // map order is upper-cased order
    return names;
}

void SetFileInUse(const std::u16string &path, bool inUse) {
    SIM_USER_LOCK();
    DWORD error;
    if (auto node = Lookup(path, &error)) node->inUse = inUse;
}

void SetCurrentDir(const std::u16string &path) {
    SIM_USER_LOCK();
    std::vector<std::u16string> parts;
    if (Resolve(path, &parts)) {
        MakeDirs(parts, parts.size());
        g_fs.currentDir = parts;
    }
}

std::u16string WindowsDir() { return u"C:\\Windows"; }
std::u16string InfDir() { return u"C:\\Windows\\inf"; }

}  // namespace sim::user

// ======================================================================================
// kernel32: files, directories, searches
// ======================================================================================

extern "C" {

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    SIM_USER_LOCK();
    if (FailAsScripted("FindFirstFileW")) return INVALID_HANDLE_VALUE;
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!lpFileName || !Resolve(View(lpFileName), &parts, &trailing) || trailing || parts.empty()) {
        SetLastError(lpFileName && trailing ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    auto dir = Walk(parts, parts.size() - 1);
    if (!dir || !dir->isDir) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FindState f{dir, Upper(parts.back()), u"", parts.size() == 1};
    if (!NextEntry(f, lpFindFileData)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    uintptr_t h = g_fs.nextFind += 4;
    g_fs.finds[h] = f;
    return reinterpret_cast<HANDLE>(h);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    SIM_USER_LOCK();
    auto it = g_fs.finds.find(reinterpret_cast<uintptr_t>(hFindFile));
    if (it == g_fs.finds.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!NextEntry(it->second, lpFindFileData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    SIM_USER_LOCK();
    if (!g_fs.finds.erase(reinterpret_cast<uintptr_t>(hFindFile))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    SIM_USER_LOCK();
    if (FailAsScripted("DeleteFileW")) return FALSE;
    DWORD error = 0;
    auto node = Lookup(View(lpFileName), &error);
    if (!node) {
        SetLastError(error);
        return FALSE;
    }
    if (node->isDir || (node->attributes & FILE_ATTRIBUTE_READONLY) || node == g_fs.root) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (node->inUse) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    node->parent->children.erase(Upper(node->name));
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    SIM_USER_LOCK();
    DWORD error = 0;
    auto node = Lookup(View(lpFileName), &error);
    if (!node) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return ReportedAttributes(*node);
}

BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    SIM_USER_LOCK();
    if (FailAsScripted("SetFileAttributesW")) return FALSE;
    DWORD error = 0;
    auto node = Lookup(View(lpFileName), &error);
    if (!node) {
        SetLastError(error);
        return FALSE;
    }
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    node->attributes = (dwFileAttributes & settable) | (node->isDir ? FILE_ATTRIBUTE_DIRECTORY : 0);
    return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    SIM_USER_LOCK();
    if (FailAsScripted("CreateDirectoryW")) return FALSE;
    std::vector<std::u16string> parts;
    if (!lpPathName || !Resolve(View(lpPathName), &parts)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    if (parts.empty() || Walk(parts, parts.size())) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    auto parent = Walk(parts, parts.size() - 1);
    if (!parent || !parent->isDir) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    MakeDirs(parts, parts.size());
    return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
    SIM_USER_LOCK();
    if (FailAsScripted("RemoveDirectoryW")) return FALSE;
    DWORD error = 0;
    auto node = Lookup(View(lpPathName), &error);
    if (!node) {
        SetLastError(error);
        return FALSE;
    }
    if (!node->isDir) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    if (node == g_fs.root || (node->attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!node->children.empty()) {
        SetLastError(ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    node->parent->children.erase(Upper(node->name));
    return TRUE;
}

// Returns the length without the NUL, or the size needed with it when the buffer is short.
static UINT ReturnPath(const std::u16string &path, LPWSTR buffer, UINT size) {
    if (!buffer || path.size() + 1 > size) return UINT(path.size() + 1);
    CopyOut(path, buffer, size);
    return UINT(path.size());
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    SIM_USER_LOCK();
    if (FailAsScripted("GetWindowsDirectoryW")) return 0;
    return ReturnPath(u"C:\\Windows", lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    SIM_USER_LOCK();
    if (FailAsScripted("GetSystemDirectoryW")) return 0;
    return ReturnPath(u"C:\\Windows\\system32", lpBuffer, uSize);
}

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    SIM_USER_LOCK();
    if (FailAsScripted("GetCurrentDirectoryW")) return 0;
    std::u16string path = JoinFull(g_fs.currentDir);
    return ReturnPath(path, lpBuffer, nBufferLength);
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
    SIM_USER_LOCK();
    std::vector<std::u16string> parts;
    if (!lpPathName || !Resolve(View(lpPathName), &parts)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    auto node = Walk(parts, parts.size());
    if (!node || !node->isDir) {
        SetLastError(node ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    g_fs.currentDir = parts;
    return TRUE;
}

DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    SIM_USER_LOCK();
    if (FailAsScripted("GetTempPathW")) return 0;
    return ReturnPath(u"C:\\Windows\\Temp\\", lpBuffer, nBufferLength);
}

// Purely textual, as on Windows: the file need not exist. A path ending in a separator has
// no file part.
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR *lpFilePart) {
    SIM_USER_LOCK();
    if (FailAsScripted("GetFullPathNameW")) return 0;
    if (lpFilePart) *lpFilePart = nullptr;
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    std::vector<std::u16string> parts;
    bool trailing = false;
    WCHAR drive = u'C';
    if (!ResolveOnDrive(View(lpFileName), &parts, &trailing, &drive)) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    std::u16string full = JoinFull(parts, drive);
    if (trailing && !parts.empty()) full += u'\\';
    if (!lpBuffer || full.size() + 1 > nBufferLength) return DWORD(full.size() + 1);
    CopyOut(full, lpBuffer, nBufferLength);
    if (lpFilePart && !parts.empty() && !trailing) *lpFilePart = lpBuffer + (full.size() - parts.back().size());
    return DWORD(full.size());
}

// ======================================================================================
// shlwapi: path helpers
// ======================================================================================

// Removes "." and ".." components as PathCanonicalizeW does (textually, never above the root).
static std::u16string Canonicalize(const std::u16string &path) {
    std::u16string prefix;
    std::u16string rest = path;
    if (rest.size() >= 2 && rest[1] == u':') {
        prefix = rest.substr(0, 2);
        rest = rest.substr(2);
    }
    bool rooted = !rest.empty() && rest[0] == u'\\';
    bool trailing = rest.size() > 1 && rest.back() == u'\\';
    std::vector<std::u16string> parts;
    std::u16string cur;
    auto flush = [&] {
        if (cur == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (cur != u"." && !cur.empty()) {
            parts.push_back(cur);
        }
        cur.clear();
    };
    for (WCHAR c : rest) {
        if (c == u'\\') flush();
        else cur.push_back(c);
    }
    flush();
    std::u16string out = prefix + (rooted ? u"\\" : u"");
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += u'\\';
        out += parts[i];
    }
    if (trailing && !parts.empty()) out += u'\\';
    if (out.empty() && rooted) out = u"\\";
    return out;
}

LPWSTR WINAPI PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) {
    if (!pszDest) return nullptr;
    if (!pszDir && !pszFile) {
        pszDest[0] = 0;
        return nullptr;
    }
    std::u16string dir(View(pszDir)), file(View(pszFile));
    std::u16string joined;
    if (file.size() >= 2 && file[1] == u':') {
        joined = file;  // an absolute path with a drive replaces the directory
    } else if (!file.empty() && file[0] == u'\\') {
        joined = (dir.size() >= 2 && dir[1] == u':' ? dir.substr(0, 2) : u"") + file;  // root of dir's drive
    } else if (dir.empty()) {
        joined = file;
    } else if (file.empty()) {
        joined = dir;
    } else {
        joined = dir;
        if (joined.back() != u'\\') joined += u'\\';
        joined += file;
    }
    std::u16string result = Canonicalize(joined);
    if (result.size() >= MAX_PATH) {
        pszDest[0] = 0;
        return nullptr;
    }
    CopyOut(result, pszDest, MAX_PATH);
    return pszDest;
}

BOOL WINAPI PathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
    if (!pszPath || !pszMore) return FALSE;
    std::u16string more(View(pszMore));
    while (!more.empty() && more[0] == u'\\') more.erase(0, 1);
    WCHAR buffer[MAX_PATH];
    if (!PathCombineW(buffer, pszPath, more.c_str())) return FALSE;
    lstrcpyW(pszPath, buffer);
    return TRUE;
}

LPWSTR WINAPI PathFindFileNameW(LPCWSTR pszPath) {
    if (!pszPath) return nullptr;
    const WCHAR *last = pszPath;
    for (const WCHAR *p = pszPath; *p; ++p)
        if ((*p == u'\\' || *p == u':' || *p == u'/') && p[1] && p[1] != u'\\' && p[1] != u'/') last = p + 1;
    return const_cast<LPWSTR>(last);
}

LPWSTR WINAPI PathFindExtensionW(LPCWSTR pszPath) {
    if (!pszPath) return nullptr;
    const WCHAR *dot = nullptr;
    const WCHAR *p = pszPath;
    for (; *p; ++p) {
        if (*p == u'\\' || *p == u' ') dot = nullptr;
        else if (*p == u'.') dot = p;
    }
    return const_cast<LPWSTR>(dot ? dot : p);
}

LPWSTR WINAPI PathAddBackslashW(LPWSTR pszPath) {
    if (!pszPath) return nullptr;
    size_t n = View(pszPath).size();
    if (n && pszPath[n - 1] == u'\\') return pszPath + n;
    if (n + 1 >= MAX_PATH) return nullptr;
    pszPath[n] = u'\\';
    pszPath[n + 1] = 0;
    return pszPath + n + 1;
}

BOOL WINAPI PathRemoveFileSpecW(LPWSTR pszPath) {
    if (!pszPath) return FALSE;
    WCHAR *name = PathFindFileNameW(pszPath);
    if (name == pszPath) {
        if (!*pszPath) return FALSE;
        *pszPath = 0;
        return TRUE;
    }
    WCHAR *cut = name;
    if (cut > pszPath && cut[-1] == u'\\') {
        // Keep the root backslash of "C:\file" and "\file".
        bool atRoot = (cut - 1 == pszPath) || (cut - 1 == pszPath + 2 && pszPath[1] == u':');
        if (!atRoot) --cut;
    }
    bool changed = *cut != 0;
    *cut = 0;
    return changed;
}

BOOL WINAPI PathFileExistsW(LPCWSTR pszPath) {
    SIM_USER_LOCK();
    DWORD error;
    return pszPath && Lookup(View(pszPath), &error) ? TRUE : FALSE;
}

BOOL WINAPI PathIsDirectoryW(LPCWSTR pszPath) {
    SIM_USER_LOCK();
    DWORD error;
    auto node = pszPath ? Lookup(View(pszPath), &error) : nullptr;
    return node && node->isDir ? TRUE : FALSE;
}

static LPWSTR Search(LPCWSTR first, LPCWSTR what, bool foldCase) {
    if (!first || !what) return nullptr;
    auto hay = View(first), needle = View(what);
    if (needle.size() > hay.size()) return nullptr;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        bool equal = foldCase ? EqualNoCase(hay.substr(i, needle.size()), needle) : hay.substr(i, needle.size()) == needle;
        if (equal) return const_cast<LPWSTR>(first + i);
    }
    return nullptr;
}

LPWSTR WINAPI StrStrW(LPCWSTR pszFirst, LPCWSTR pszSrch) { return Search(pszFirst, pszSrch, false); }
LPWSTR WINAPI StrStrIW(LPCWSTR pszFirst, LPCWSTR pszSrch) { return Search(pszFirst, pszSrch, true); }

}  // extern "C"
