// CardRwUninstall: small helpers over UTF-16 strings and memory, shared by the uninstaller's
// files. Comparisons here are ordinal (with case); the case-insensitive comparisons of the
// uninstaller go through the platform's lstrcmpiW.
#pragma once

#include "platform/user.h"

namespace text {

// ---- Measuring and comparing ----

inline size_t Length(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0)
        n++;
    return n;
}

inline bool Equal(PCWSTR a, PCWSTR b)
{
    size_t i = 0;
    while (a[i] != 0 && a[i] == b[i])
        i++;
    return a[i] == b[i];
}

// True when s begins with the first count characters of prefix.
inline bool StartsWith(PCWSTR s, PCWSTR prefix, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (prefix[i] == 0 || s[i] != prefix[i])
            return false;
    }
    return true;
}

inline bool Contains(PCWSTR s, PCWSTR part)
{
    size_t partLength = Length(part);
    size_t length = Length(s);
    for (size_t start = 0; start + partLength <= length; start++) {
        if (StartsWith(s + start, part, partLength))
            return true;
    }
    return false;
}

// ---- Building into fixed buffers ----

// Appends src to the string in dst (capacity in characters, terminator included). On a result
// that would not fit, dst is left unchanged and false is returned.
inline bool Append(PWSTR dst, size_t capacity, PCWSTR src)
{
    size_t used = Length(dst);
    size_t extra = Length(src);
    if (used + extra + 1 > capacity)
        return false;
    for (size_t i = 0; i <= extra; i++)
        dst[used + i] = src[i];
    return true;
}

inline bool Copy(PWSTR dst, size_t capacity, PCWSTR src)
{
    if (capacity == 0)
        return false;
    dst[0] = 0;
    return Append(dst, capacity, src);
}

// ---- Process heap, zero-filled ----

inline void* AllocZeroed(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

inline void Free(void* block)
{
    if (block != nullptr)
        HeapFree(GetProcessHeap(), 0, block);
}

// parent + "\" + name in a new heap block (text::Free), or nullptr when memory is short.
inline PWSTR JoinKeyPath(PCWSTR parent, PCWSTR name)
{
    size_t capacity = Length(parent) + 1 + Length(name) + 1;
    PWSTR path = static_cast<PWSTR>(AllocZeroed(capacity * sizeof(WCHAR)));
    if (path != nullptr) {
        Append(path, capacity, parent);
        Append(path, capacity, TEXT("\\"));
        Append(path, capacity, name);
    }
    return path;
}

} // namespace text
