// The simulated registry: keys with their values, in memory, shared by every driver and test.
// Key paths are full native paths; key and value names compare case-insensitively.
//
// Locking: StoreLock guards the whole store. It is never held while anything outside this file
// runs (fault injection is asked before the lock is taken).
#include "pnp_internal.h"
#include "registry_internal.h"

#include <map>
#include <mutex>

namespace sim {

const char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

namespace pnp {

const char16_t kMachineRoot[] = u"\\Registry\\Machine";
const char16_t kEnumRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
const char16_t kServicesRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const char16_t kClassRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";

// =====================================================================================
// Store
// =====================================================================================
namespace {

struct StoredValue {
    std::u16string name;  // as first written
    ULONG type;
    std::vector<uint8_t> data;
};

struct StoredKey {
    std::u16string path;
    std::vector<StoredValue> values;  // in the order first written
};

struct Store {
    std::mutex lock;
    std::map<std::u16string, StoredKey> keys;  // by upper-case path
};

Store &TheStore() {
    static Store *store = new Store;  // never destroyed: threads may outlive static destruction
    return *store;
}

std::u16string Normalise(const std::u16string &key) {
    std::u16string path = key;
    while (path.size() > 1 && path.back() == u'\\') path.pop_back();
    return path;
}

StoredValue *FindValueLocked(StoredKey &key, const std::u16string &name) {
    std::u16string upper = Upcase(name);
    for (StoredValue &value : key.values)
        if (Upcase(value.name) == upper) return &value;
    return nullptr;
}

void CreateKeyLocked(Store &store, const std::u16string &path) {
    // Every ancestor below the root exists too, as on Windows.
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos != path.size() && path[pos] != u'\\') continue;
        std::u16string prefix = path.substr(0, pos);
        std::u16string upper = Upcase(prefix);
        if (store.keys.find(upper) == store.keys.end()) store.keys[upper] = StoredKey{prefix, {}};
    }
}

}  // namespace

// =====================================================================================
// Operations shared by the kernel routines and the control interface
// =====================================================================================
bool KeyExists(const std::u16string &key) {
    Store &store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    return store.keys.count(Upcase(Normalise(key))) != 0;
}

bool CreateKeyPath(const std::u16string &key) {
    if (KeyExists(key)) return true;
    if (ShouldFail(FaultRegistry)) return false;
    Store &store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    CreateKeyLocked(store, Normalise(key));
    return true;
}

void WriteValue(const std::u16string &key, const std::u16string &name, ULONG type, const void *data, size_t size) {
    Store &store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    std::u16string path = Normalise(key);
    CreateKeyLocked(store, path);
    StoredKey &stored = store.keys[Upcase(path)];
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    std::vector<uint8_t> copy(bytes, bytes + size);
    if (StoredValue *value = FindValueLocked(stored, name)) {
        value->type = type;
        value->data = std::move(copy);
    } else {
        stored.values.push_back(StoredValue{name, type, std::move(copy)});
    }
}

std::optional<RegistryValue> ReadValue(const std::u16string &key, const std::u16string &name) {
    Store &store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto it = store.keys.find(Upcase(Normalise(key)));
    if (it == store.keys.end()) return std::nullopt;
    StoredValue *value = FindValueLocked(it->second, name);
    if (value == nullptr) return std::nullopt;
    return RegistryValue{value->type, value->data};
}

bool DeleteValue(const std::u16string &key, const std::u16string &name) {
    Store &store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto it = store.keys.find(Upcase(Normalise(key)));
    if (it == store.keys.end()) return false;
    std::u16string upper = Upcase(name);
    std::vector<StoredValue> &values = it->second.values;
    for (auto value = values.begin(); value != values.end(); ++value) {
        if (Upcase(value->name) == upper) {
            values.erase(value);
            return true;
        }
    }
    return false;
}

std::vector<std::u16string> ValueNames(const std::u16string &key) {
    Store &store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    std::vector<std::u16string> names;
    auto it = store.keys.find(Upcase(Normalise(key)));
    if (it == store.keys.end()) return names;
    for (const StoredValue &value : it->second.values) names.push_back(value.name);
    return names;
}

void DeleteTree(const std::u16string &key) {
    Store &store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    std::u16string upper = Upcase(Normalise(key));
    std::u16string children = upper + u"\\";
    for (auto it = store.keys.begin(); it != store.keys.end();) {
        if (it->first == upper || it->first.compare(0, children.size(), children) == 0) it = store.keys.erase(it);
        else ++it;
    }
}

}  // namespace pnp

// =====================================================================================
// Control interface
// =====================================================================================
void RegistrySetValue(const std::u16string &key, const std::u16string &name, ULONG type, const void *data,
                      size_t size) {
    pnp::WriteValue(key, name, type, data, size);
}

void RegistrySetString(const std::u16string &key, const std::u16string &name, const std::u16string &text) {
    pnp::WriteValue(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

void RegistrySetDword(const std::u16string &key, const std::u16string &name, ULONG value) {
    pnp::WriteValue(key, name, REG_DWORD, &value, sizeof value);
}

std::optional<RegistryValue> RegistryGetValue(const std::u16string &key, const std::u16string &name) {
    return pnp::ReadValue(key, name);
}

std::optional<std::u16string> RegistryGetString(const std::u16string &key, const std::u16string &name) {
    std::optional<RegistryValue> value = pnp::ReadValue(key, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text(value->data.size() / sizeof(char16_t), u'\0');
    memcpy(&text[0], value->data.data(), text.size() * sizeof(char16_t));
    size_t end = text.find(u'\0');
    if (end != std::u16string::npos) text.resize(end);
    return text;
}

std::optional<ULONG> RegistryGetDword(const std::u16string &key, const std::u16string &name) {
    std::optional<RegistryValue> value = pnp::ReadValue(key, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG)) return std::nullopt;
    ULONG number;
    memcpy(&number, value->data.data(), sizeof number);
    return number;
}

bool RegistryDeleteValue(const std::u16string &key, const std::u16string &name) {
    return pnp::DeleteValue(key, name);
}

bool RegistryKeyExists(const std::u16string &key) { return pnp::KeyExists(key); }

std::vector<std::u16string> RegistryValueNames(const std::u16string &key) { return pnp::ValueNames(key); }

void RegistryDeleteTree(const std::u16string &key) { pnp::DeleteTree(key); }

}  // namespace sim
