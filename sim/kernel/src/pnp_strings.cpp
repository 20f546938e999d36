// String helpers shared by the registry, namespace, PnP manager and application side.
#include "pnp_internal.h"

#include <cstdio>

namespace sim {
namespace pnp {

// =====================================================================================
// Case folding and conversion
// =====================================================================================
std::u16string Upcase(const std::u16string &text) {
    std::u16string upper = text;
    for (char16_t &c : upper)
        if (c >= u'a' && c <= u'z') c = (char16_t)(c - (u'a' - u'A'));
    return upper;
}

bool EqualNoCase(const std::u16string &a, const std::u16string &b) { return Upcase(a) == Upcase(b); }

std::u16string FromCounted(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr) return std::u16string();
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string FromWide(PCWSTR text) { return text != nullptr ? std::u16string(text) : std::u16string(); }

std::string Utf8(const std::u16string &text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Names of this system are ASCII; other bytes are taken one by one.
std::u16string Utf16(const std::string &text) {
    std::u16string out;
    for (unsigned char c : text) out += (char16_t)c;
    return out;
}

std::u16string GuidText(const GUID &guid) {
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return Utf16(text);
}

// =====================================================================================
// Strings handed to drivers
// =====================================================================================
NTSTATUS AllocateCountedString(const std::u16string &text, PUNICODE_STRING out) {
    size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x53726E67 /* 'gnrS' */));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = (USHORT)bytes;
    out->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace pnp
}  // namespace sim
