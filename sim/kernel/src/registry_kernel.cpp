// The registry as drivers reach it: key handles (closed by ZwClose), value queries with the
// Windows answers for short buffers, value writes, and the run-time library's access relative
// to the well-known roots.
#include "registry_internal.h"

#include <atomic>

namespace sim {
namespace pnp {

// =====================================================================================
// Key handles
// =====================================================================================
namespace {

struct KeyObject {
    std::u16string path;
};

std::atomic<size_t> g_openKeyHandles{0};

KeyObject *KeyOf(HANDLE handle) { return static_cast<KeyObject *>(LookupHandle(handle, "key")); }

}  // namespace

NTSTATUS OpenKeyHandle(const std::u16string &key, bool create, PHANDLE handle, PULONG disposition) {
    bool existed = KeyExists(key);
    if (!existed) {
        if (!create) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (!CreateKeyPath(key)) return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto *object = new KeyObject{key};
    g_openKeyHandles++;
    *handle = CreateHandle("key", object, [object] {
        delete object;
        g_openKeyHandles--;
    });
    if (disposition != nullptr) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return STATUS_SUCCESS;
}

namespace {

// The full path an OBJECT_ATTRIBUTES names: absolute, or relative to an open key.
NTSTATUS PathOf(POBJECT_ATTRIBUTES attributes, std::u16string *path) {
    if (attributes == nullptr || attributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string name = FromCounted(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr) {
        KeyObject *root = KeyOf(attributes->RootDirectory);
        if (root == nullptr) return STATUS_INVALID_HANDLE;
        *path = name.empty() ? root->path : root->path + u"\\" + name;
        return STATUS_SUCCESS;
    }
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *path = name;
    return STATUS_SUCCESS;
}

// The key an RTL_REGISTRY_* pair names.
NTSTATUS RtlPathOf(ULONG relativeTo, PCWSTR path, std::u16string *key) {
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        KeyObject *object = KeyOf((HANDLE)path);
        if (object == nullptr) return STATUS_INVALID_HANDLE;
        *key = object->path;
        return STATUS_SUCCESS;
    }
    std::u16string relative = FromWide(path);
    static const char16_t *const roots[RTL_REGISTRY_MAXIMUM] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"\\Registry\\User\\CurrentUser",
    };
    ULONG root = relativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (root >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    if (root == RTL_REGISTRY_ABSOLUTE) {
        if (relative.empty() || relative[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *key = relative;
    } else {
        *key = relative.empty() ? std::u16string(roots[root]) : std::u16string(roots[root]) + u"\\" + relative;
    }
    return STATUS_SUCCESS;
}

}  // namespace

// =====================================================================================
// Value information records
// =====================================================================================
namespace {

ULONG AlignUp4(ULONG offset) { return (offset + 3u) & ~3u; }

// Fills one KEY_VALUE_* record. The fixed part must fit, else STATUS_BUFFER_TOO_SMALL; a record
// that fits only in part gets its fixed part and STATUS_BUFFER_OVERFLOW. Either way
// *ResultLength is the size the whole record needs.
NTSTATUS FillValueRecord(const std::u16string &name, const RegistryValue &value, KEY_VALUE_INFORMATION_CLASS kind,
                         PVOID buffer, ULONG length, PULONG resultLength) {
    ULONG nameBytes = (ULONG)(name.size() * sizeof(WCHAR));
    ULONG dataBytes = (ULONG)value.data.size();
    ULONG fixed = 0, needed = 0, dataOffset = 0;
    switch (kind) {
    case KeyValueBasicInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = dataBytes != 0 ? AlignUp4(fixed + nameBytes) : 0;
        needed = dataBytes != 0 ? dataOffset + dataBytes : fixed + nameBytes;
        break;
    case KeyValuePartialInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (resultLength != nullptr) *resultLength = needed;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

    auto *bytes = static_cast<PUCHAR>(buffer);
    bool whole = length >= needed;
    switch (kind) {
    case KeyValueBasicInformation: {
        auto *info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->NameLength = nameBytes;
        if (whole) memcpy(info->Name, name.data(), nameBytes);
        break;
    }
    case KeyValueFullInformation: {
        auto *info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        if (whole) {
            memcpy(info->Name, name.data(), nameBytes);
            if (dataBytes != 0) memcpy(bytes + dataOffset, value.data.data(), dataBytes);
        }
        break;
    }
    default: {
        auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataLength = dataBytes;
        if (whole && dataBytes != 0) memcpy(info->Data, value.data.data(), dataBytes);
        break;
    }
    }
    return whole ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

// =====================================================================================
// RtlQueryRegistryValues helpers
// =====================================================================================
namespace {

// RTL_QUERY_REGISTRY_DIRECT: strings into a UNICODE_STRING (allocated when it has no buffer),
// values of up to four bytes into a ULONG, anything else into a buffer whose first LONG is
// minus its size.
NTSTATUS StoreDirect(PVOID entryContext, ULONG type, const uint8_t *data, ULONG size) {
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        auto *target = static_cast<PUNICODE_STRING>(entryContext);
        ULONG textBytes = size;
        while (textBytes >= sizeof(WCHAR) && data[textBytes - 2] == 0 && data[textBytes - 1] == 0 && type != REG_MULTI_SZ)
            textBytes -= sizeof(WCHAR);
        if (textBytes + sizeof(WCHAR) > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
        if (target->Buffer == nullptr) {
            target->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, textBytes + sizeof(WCHAR), 0x52747167 /* 'gqtR' */));
            if (target->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            target->MaximumLength = (USHORT)(textBytes + sizeof(WCHAR));
        } else if (textBytes + sizeof(WCHAR) > target->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(target->Buffer, data, textBytes);
        target->Buffer[textBytes / sizeof(WCHAR)] = 0;
        target->Length = (USHORT)textBytes;
        return STATUS_SUCCESS;
    }
    if (size <= sizeof(ULONG)) {
        memset(entryContext, 0, sizeof(ULONG));
        memcpy(entryContext, data, size);
        return STATUS_SUCCESS;
    }
    LONG sizeField;
    memcpy(&sizeField, entryContext, sizeof sizeField);
    if (sizeField >= 0) return STATUS_BUFFER_TOO_SMALL;
    if (size > (ULONG)(-sizeField)) return STATUS_BUFFER_TOO_SMALL;
    memcpy(entryContext, data, size);
    return STATUS_SUCCESS;
}

NTSTATUS QueryOneEntry(const std::u16string &key, PRTL_QUERY_REGISTRY_TABLE entry, PVOID context) {
    std::u16string name = FromWide(entry->Name);
    std::optional<RegistryValue> value = ReadValue(key, name);
    std::vector<uint8_t> defaultData;
    if (!value) {
        if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (entry->DefaultType == REG_NONE || entry->DefaultData == nullptr) return STATUS_SUCCESS;
        ULONG length = entry->DefaultLength;
        if (length == 0 && entry->DefaultType == REG_SZ)
            length = (ULONG)((SimWideLength((PCWSTR)entry->DefaultData) + 1) * sizeof(WCHAR));
        const uint8_t *bytes = static_cast<const uint8_t *>(entry->DefaultData);
        value = RegistryValue{entry->DefaultType, std::vector<uint8_t>(bytes, bytes + length)};
    }
    NTSTATUS status;
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
        status = StoreDirect(entry->EntryContext, value->type, value->data.data(), (ULONG)value->data.size());
    } else {
        status = entry->QueryRoutine(entry->Name, value->type, value->data.empty() ? nullptr : value->data.data(),
                                     (ULONG)value->data.size(), context, entry->EntryContext);
    }
    if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) DeleteValue(key, name);
    return status;
}

// A routine entry without a name is called once per value of the key.
NTSTATUS QueryEveryValue(const std::u16string &key, PRTL_QUERY_REGISTRY_TABLE entry, PVOID context) {
    for (const std::u16string &name : ValueNames(key)) {
        std::optional<RegistryValue> value = ReadValue(key, name);
        if (!value) continue;
        std::u16string terminated = name;
        NTSTATUS status = entry->QueryRoutine(&terminated[0], value->type,
                                              value->data.empty() ? nullptr : value->data.data(),
                                              (ULONG)value->data.size(), context, entry->EntryContext);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace pnp
}  // namespace sim

using namespace sim::pnp;

// =====================================================================================
// Kernel routines: keys
// =====================================================================================
extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    std::u16string path;
    NTSTATUS status = PathOf(ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) return status;
    return OpenKeyHandle(path, false, KeyHandle, nullptr);
}

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    std::u16string path;
    NTSTATUS status = PathOf(ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) return status;
    // Like the real registry, only the last component may be missing.
    size_t slash = path.rfind(u'\\');
    if (slash != 0 && slash != std::u16string::npos && !KeyExists(path.substr(0, slash)))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return OpenKeyHandle(path, true, KeyHandle, Disposition);
}

// =====================================================================================
// Kernel routines: values
// =====================================================================================
extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                    ULONG Length, PULONG ResultLength) {
    KeyObject *key = KeyOf(KeyHandle);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    std::u16string name = FromCounted(ValueName);
    std::optional<sim::RegistryValue> value = ReadValue(key->path, name);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    // The record carries the name as stored (the query's spelling, as on Windows, differs only in case).
    return FillValueRecord(name, *value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                  PVOID Data, ULONG DataSize) {
    KeyObject *key = KeyOf(KeyHandle);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    if (!KeyExists(key->path)) return STATUS_KEY_DELETED;
    if (sim::ShouldFail(sim::FaultRegistry)) return STATUS_INSUFFICIENT_RESOURCES;
    WriteValue(key->path, FromCounted(ValueName), Type, Data, DataSize);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    KeyObject *key = KeyOf(KeyHandle);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    return DeleteValue(key->path, FromCounted(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// =====================================================================================
// Run-time library
// =====================================================================================
// Creates the key when it is missing, as the run-time library does.
extern "C" NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                          PVOID ValueData, ULONG ValueLength) {
    std::u16string key;
    NTSTATUS status = RtlPathOf(RelativeTo, Path, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!CreateKeyPath(key)) return STATUS_INSUFFICIENT_RESOURCES;
    if (sim::ShouldFail(sim::FaultRegistry)) return STATUS_INSUFFICIENT_RESOURCES;
    WriteValue(key, FromWide(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    std::u16string key;
    NTSTATUS status = RtlPathOf(RelativeTo, Path, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeleteValue(key, FromWide(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    std::u16string key;
    NTSTATUS status = RtlPathOf(RelativeTo, Path, &key);
    if (!NT_SUCCESS(status)) return status;
    return KeyExists(key) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// The table ends at an entry with neither routine nor name (or, for DIRECT entries, no name).
// SUBKEY switches to a subkey of the base key for the following entries, TOPKEY back.
extern "C" NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                           PVOID Context, PVOID Environment) {
    std::u16string base;
    NTSTATUS status = RtlPathOf(RelativeTo, Path, &base);
    if (!NT_SUCCESS(status)) return status;
    if (!KeyExists(base)) return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string key = base;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         entry++) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) key = base;
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            key = base + u"\\" + FromWide(entry->Name);
            if (!KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (entry->QueryRoutine == nullptr) continue;
            status = QueryEveryValue(key, entry, Context);
        } else if (entry->Name == nullptr) {
            status = QueryEveryValue(key, entry, Context);
        } else {
            status = QueryOneEntry(key, entry, Context);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

namespace sim {
size_t RegistryOpenHandleCount() { return pnp::g_openKeyHandles.load(); }
}  // namespace sim
