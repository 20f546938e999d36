// Simulated registry: predefined roots, keys with values of any type, subkeys enumerated in
// the order Windows keeps them (upper-cased names in code-unit order), a security descriptor
// per key whose DACL is checked against the caller's token at every open, and handle
// accounting. A deleted key stays valid for open handles, which then see ERROR_KEY_DELETED.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <map>

using namespace sim::user::detail;

namespace {

// ======================================================================================
// Keys and handles
// ======================================================================================

struct RegValue {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;
    std::map<std::u16string, std::shared_ptr<Key>> children;  // key: upper-cased name
    std::vector<RegValue> values;                             // in creation order
    Key *parent = nullptr;
    bool deleted = false;
    StoredSecurity security;
};

struct OpenKey {
    std::shared_ptr<Key> key;
    ACCESS_MASK granted = 0;
};

struct RegistryState {
    std::map<uintptr_t, std::shared_ptr<Key>> roots;  // by predefined handle value
    std::map<uintptr_t, OpenKey> handles;
    uintptr_t nextHandle = 0x9000;
};
RegistryState g_reg;

uintptr_t HandleValue(HKEY h) { return reinterpret_cast<uintptr_t>(h); }

std::shared_ptr<Key> NewRoot(const char16_t *name) {
    auto k = std::make_shared<Key>();
    k->name = name;
    k->security = DefaultKeySecurity();
    return k;
}

// Resolves a handle (predefined or opened) to its key and the access it carries.
// Predefined roots carry every right the caller's token has there.
bool FromHandle(HKEY h, OpenKey *out, LSTATUS *status) {
    auto root = g_reg.roots.find(HandleValue(h));
    if (root != g_reg.roots.end()) {
        out->key = root->second;
        AccessCheck(root->second->security, MAXIMUM_ALLOWED, &out->granted);
        return true;
    }
    auto it = g_reg.handles.find(HandleValue(h));
    if (it == g_reg.handles.end()) {
        *status = ERROR_INVALID_HANDLE;
        return false;
    }
    if (it->second.key->deleted) {
        *status = ERROR_KEY_DELETED;
        return false;
    }
    *out = it->second;
    return true;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string> *parts) {
    std::u16string cur;
    for (WCHAR c : path) {
        if (c == u'\\') {
            if (cur.empty()) return false;
            parts->push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) parts->push_back(cur);
    return true;
}

std::shared_ptr<Key> Descend(std::shared_ptr<Key> key, const std::vector<std::u16string> &parts) {
    for (auto &p : parts) {
        auto it = key->children.find(Upper(p));
        if (it == key->children.end()) return nullptr;
        key = it->second;
    }
    return key;
}

HKEY NewHandle(const std::shared_ptr<Key> &key, ACCESS_MASK granted) {
    uintptr_t h = g_reg.nextHandle += 4;
    g_reg.handles[h] = OpenKey{key, granted};
    return reinterpret_cast<HKEY>(h);
}

std::shared_ptr<Key> CreateChild(const std::shared_ptr<Key> &parent, const std::u16string &name) {
    auto child = std::make_shared<Key>();
    child->name = name;
    child->parent = parent.get();
    child->security.owner = sim::user::SidFromText(sim::user::kSidAdministrators);
    child->security.daclKind = parent->security.daclKind;
    child->security.dacl = parent->security.dacl;
    parent->children[Upper(name)] = child;
    return child;
}

RegValue *FindValue(Key &key, std::u16string_view name) {
    for (auto &v : key.values)
        if (EqualNoCase(v.name, name)) return &v;
    return nullptr;
}

// For the test interface: the key at root\path, created with its parents when asked.
std::shared_ptr<Key> TestKey(HKEY root, const std::u16string &path, bool create) {
    auto r = g_reg.roots.find(HandleValue(root));
    if (r == g_reg.roots.end()) return nullptr;
    std::vector<std::u16string> parts;
    if (!SplitPath(path, &parts)) return nullptr;
    std::shared_ptr<Key> key = r->second;
    for (auto &p : parts) {
        auto it = key->children.find(Upper(p));
        if (it != key->children.end()) key = it->second;
        else if (create) key = CreateChild(key, p);
        else return nullptr;
    }
    return key;
}

}  // namespace

// ======================================================================================
// Reset and test interface
// ======================================================================================

namespace sim::user::detail {

void ResetRegistry() {
    g_reg = RegistryState{};
    g_reg.roots[HandleValue(HKEY_LOCAL_MACHINE)] = NewRoot(u"HKEY_LOCAL_MACHINE");
    g_reg.roots[HandleValue(HKEY_CURRENT_USER)] = NewRoot(u"HKEY_CURRENT_USER");
    g_reg.roots[HandleValue(HKEY_USERS)] = NewRoot(u"HKEY_USERS");
    g_reg.roots[HandleValue(HKEY_CLASSES_ROOT)] = NewRoot(u"HKEY_CLASSES_ROOT");
    for (const char16_t *path : {u"SYSTEM\\CurrentControlSet\\Enum", u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses",
                                 u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers",
                                 u"HARDWARE\\DEVICEMAP"})
        TestKey(HKEY_LOCAL_MACHINE, path, true);
    TestKey(HKEY_CURRENT_USER, u"Software", true);
}

int OpenKeys() { return int(g_reg.handles.size()); }

}  // namespace sim::user::detail

namespace sim::user {

void CreateKey(HKEY root, const std::u16string &path) {
    SIM_USER_LOCK();
    TestKey(root, path, true);
}

void SetValue(HKEY root, const std::u16string &path, const std::u16string &name, DWORD type,
              const std::vector<BYTE> &data) {
    SIM_USER_LOCK();
    auto key = TestKey(root, path, true);
    if (!key) return;
    if (RegValue *v = FindValue(*key, name)) *v = RegValue{v->name, type, data};
    else key->values.push_back(RegValue{name, type, data});
}

void SetString(HKEY root, const std::u16string &path, const std::u16string &name, const std::u16string &text) {
    std::vector<BYTE> data((text.size() + 1) * sizeof(WCHAR));
    std::memcpy(data.data(), text.c_str(), data.size());
    SetValue(root, path, name, REG_SZ, data);
}

void SetDword(HKEY root, const std::u16string &path, const std::u16string &name, DWORD value) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(root, path, name, REG_DWORD, data);
}

void SetMultiString(HKEY root, const std::u16string &path, const std::u16string &name,
                    const std::vector<std::u16string> &strings) {
    std::u16string joined;
    for (auto &s : strings) joined += s + u'\0';
    joined += u'\0';
    std::vector<BYTE> data(joined.size() * sizeof(WCHAR));
    std::memcpy(data.data(), joined.data(), data.size());
    SetValue(root, path, name, REG_MULTI_SZ, data);
}

bool KeyExists(HKEY root, const std::u16string &path) {
    SIM_USER_LOCK();
    return TestKey(root, path, false) != nullptr;
}

std::vector<std::u16string> SubkeyNames(HKEY root, const std::u16string &path) {
    SIM_USER_LOCK();
    std::vector<std::u16string> names;
    if (auto key = TestKey(root, path, false))
        for (auto &kv : key->children) names.push_back(kv.second->name);
    return names;
}

std::optional<std::vector<BYTE>> GetValue(HKEY root, const std::u16string &path, const std::u16string &name, DWORD *type) {
    SIM_USER_LOCK();
    auto key = TestKey(root, path, false);
    RegValue *v = key ? FindValue(*key, name) : nullptr;
    if (!v) return std::nullopt;
    if (type) *type = v->type;
    return v->data;
}

std::optional<std::u16string> GetString(HKEY root, const std::u16string &path, const std::u16string &name) {
    auto data = GetValue(root, path, name);
    if (!data) return std::nullopt;
    std::u16string text(data->size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data->data(), text.size() * 2);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

void SetKeyDacl(HKEY root, const std::u16string &path, const DaclSpec &dacl) {
    SIM_USER_LOCK();
    auto key = TestKey(root, path, true);
    if (!key) return;
    key->security.daclKind = dacl.kind;
    key->security.dacl = dacl.kind == DaclKind::List ? BuildAcl(dacl.aces) : std::vector<BYTE>{};
}

DaclSpec KeyDacl(HKEY root, const std::u16string &path) {
    SIM_USER_LOCK();
    DaclSpec spec;
    auto key = TestKey(root, path, false);
    if (!key) return spec;
    spec.kind = key->security.daclKind;
    if (spec.kind == DaclKind::List) spec.aces = ParseAcl(key->security.dacl.data());
    return spec;
}

ACCESS_MASK GrantedAccess(HKEY root, const std::u16string &path) {
    SIM_USER_LOCK();
    auto key = TestKey(root, path, false);
    ACCESS_MASK granted = 0;
    if (key && !AccessCheck(key->security, MAXIMUM_ALLOWED, &granted)) granted = 0;
    return granted;
}

}  // namespace sim::user

// ======================================================================================
// advapi32: registry
// ======================================================================================

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegOpenKeyExW", &scripted)) return LSTATUS(scripted);
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey base;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &base, &status)) return status;
    std::vector<std::u16string> parts;
    if (!SplitPath(View(lpSubKey), &parts)) return ERROR_FILE_NOT_FOUND;
    auto key = Descend(base.key, parts);
    if (!key) return ERROR_FILE_NOT_FOUND;
    ACCESS_MASK granted = 0;
    if (!AccessCheck(key->security, samDesired, &granted)) return ERROR_ACCESS_DENIED;
    *phkResult = NewHandle(key, granted);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegCreateKeyExW", &scripted)) return LSTATUS(scripted);
    if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey base;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &base, &status)) return status;
    std::vector<std::u16string> parts;
    if (!SplitPath(View(lpSubKey), &parts)) return ERROR_BAD_PATHNAME;
    std::shared_ptr<Key> key = base.key;
    bool created = false;
    for (auto &p : parts) {
        auto it = key->children.find(Upper(p));
        if (it != key->children.end()) {
            key = it->second;
            continue;
        }
        ACCESS_MASK granted = 0;
        if (!AccessCheck(key->security, KEY_CREATE_SUB_KEY, &granted)) return ERROR_ACCESS_DENIED;
        key = CreateChild(key, p);
        created = true;
    }
    ACCESS_MASK granted = 0;
    if (!AccessCheck(key->security, samDesired, &granted)) return ERROR_ACCESS_DENIED;
    *phkResult = NewHandle(key, granted);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    SIM_USER_LOCK();
    if (g_reg.roots.count(HandleValue(hKey))) return ERROR_SUCCESS;
    return g_reg.handles.erase(HandleValue(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegQueryValueExW", &scripted)) return LSTATUS(scripted);
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    if (!(open.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    RegValue *v = FindValue(*open.key, View(lpValueName));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = v->type;
    DWORD size = DWORD(v->data.size());
    if (!lpcbData) return ERROR_SUCCESS;
    if (!lpData) {
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, v->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegSetValueExW", &scripted)) return LSTATUS(scripted);
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (!(open.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (cbData && !lpData) return ERROR_NOACCESS;
    std::vector<BYTE> data(lpData, lpData + cbData);
    std::u16string name(View(lpValueName));
    if (RegValue *v = FindValue(*open.key, name)) *v = RegValue{v->name, dwType, data};
    else open.key->values.push_back(RegValue{name, dwType, data});
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    SIM_USER_LOCK();
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (!(open.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    auto &values = open.key->values;
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (EqualNoCase(it->name, View(lpValueName))) {
            values.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

// The subkey is opened for DELETE under its own DACL; a key that still has subkeys is refused
// with ERROR_ACCESS_DENIED, as Windows does.
LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegDeleteKeyW", &scripted)) return LSTATUS(scripted);
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    OpenKey base;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &base, &status)) return status;
    std::vector<std::u16string> parts;
    if (!SplitPath(View(lpSubKey), &parts)) return ERROR_FILE_NOT_FOUND;
    auto key = Descend(base.key, parts);
    if (!key) return ERROR_FILE_NOT_FOUND;
    if (!key->parent) return ERROR_ACCESS_DENIED;  // a predefined root
    ACCESS_MASK granted = 0;
    if (!AccessCheck(key->security, DELETE, &granted)) return ERROR_ACCESS_DENIED;
    if (!key->children.empty()) return ERROR_ACCESS_DENIED;
    key->deleted = true;
    key->parent->children.erase(Upper(key->name));
    key->parent = nullptr;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegEnumKeyExW", &scripted)) return LSTATUS(scripted);
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    if (!(open.granted & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    if (dwIndex >= open.key->children.size()) return ERROR_NO_MORE_ITEMS;
    auto it = open.key->children.begin();
    std::advance(it, dwIndex);
    const std::u16string &name = it->second->name;
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    CopyOut(name, lpName, *lpcchName);
    *lpcchName = DWORD(name.size());
    if (lpClass && lpcchClass && *lpcchClass) {
        lpClass[0] = 0;
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
    return RegEnumKeyExW(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    SIM_USER_LOCK();
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    if (!(open.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (dwIndex >= open.key->values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue &v = open.key->values[dwIndex];
    if (v.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    CopyOut(v.name, lpValueName, *lpcchValueName);
    *lpcchValueName = DWORD(v.name.size());
    if (lpType) *lpType = v.type;
    if (lpcbData) {
        if (lpData && *lpcbData < v.data.size()) {
            *lpcbData = DWORD(v.data.size());
            return ERROR_MORE_DATA;
        }
        if (lpData && !v.data.empty()) std::memcpy(lpData, v.data.data(), v.data.size());
        *lpcbData = DWORD(v.data.size());
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                PFILETIME lpftLastWriteTime) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegQueryInfoKeyW", &scripted)) return LSTATUS(scripted);
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (!(open.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const Key &k = *open.key;
    DWORD maxSub = 0, maxName = 0, maxData = 0;
    for (auto &kv : k.children) maxSub = std::max<DWORD>(maxSub, DWORD(kv.second->name.size()));
    for (auto &v : k.values) {
        maxName = std::max<DWORD>(maxName, DWORD(v.name.size()));
        maxData = std::max<DWORD>(maxData, DWORD(v.data.size()));
    }
    if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
    if (lpcchClass) *lpcchClass = 0;
    if (lpcSubKeys) *lpcSubKeys = DWORD(k.children.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = DWORD(k.values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = DWORD(SelfRelative(k.security, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION).size());
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegGetKeySecurity", &scripted)) return LSTATUS(scripted);
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (!lpcbSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    if (!(open.granted & READ_CONTROL)) return ERROR_ACCESS_DENIED;
    std::vector<BYTE> sd = SelfRelative(open.key->security, SecurityInformation);
    if (!pSecurityDescriptor || *lpcbSecurityDescriptor < sd.size()) {
        *lpcbSecurityDescriptor = DWORD(sd.size());
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(pSecurityDescriptor, sd.data(), sd.size());
    *lpcbSecurityDescriptor = DWORD(sd.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    SIM_USER_LOCK();
    DWORD scripted = 0;
    if (ScriptedFailure("RegSetKeySecurity", &scripted)) return LSTATUS(scripted);
    OpenKey open;
    LSTATUS status = ERROR_SUCCESS;
    if (!FromHandle(hKey, &open, &status)) return status;
    if (!pSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    if ((SecurityInformation & DACL_SECURITY_INFORMATION) && !(open.granted & WRITE_DAC)) return ERROR_ACCESS_DENIED;
    if ((SecurityInformation & OWNER_SECURITY_INFORMATION) && !(open.granted & WRITE_OWNER)) return ERROR_ACCESS_DENIED;
    StoredSecurity updated = open.key->security;
    DWORD error = ApplyDescriptor(pSecurityDescriptor, SecurityInformation, &updated);
    if (error != ERROR_SUCCESS) return LSTATUS(error);
    open.key->security = updated;
    return ERROR_SUCCESS;
}

}  // extern "C"
