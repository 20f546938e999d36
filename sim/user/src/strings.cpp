// Simulated string routines of kernel32, user32 and shlwapi: lstr* and the wsprintfW family.
#include "internal.h"

#include <cstdio>
#include <cstring>

using namespace sim::user::detail;

// ======================================================================================
// lstr*
// ======================================================================================

extern "C" {

int WINAPI lstrlenW(LPCWSTR lpString) { return int(View(lpString).size()); }

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    auto src = View(lpString2);
    std::memmove(lpString1, src.data(), src.size() * sizeof(WCHAR));
    lpString1[src.size()] = 0;
    return lpString1;
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    if (!lpString1 || !lpString2 || iMaxLength <= 0) return lpString1;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i]; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    lstrcpyW(lpString1 + View(lpString1).size(), lpString2);
    return lpString1;
}

// Both compare by code unit; lstrcmpiW folds case first. A null string sorts first.
static int CompareStrings(LPCWSTR a, LPCWSTR b, bool foldCase) {
    if (!a || !b) return a ? 1 : (b ? -1 : 0);
    for (;; ++a, ++b) {
        WCHAR ca = foldCase ? Upcase(*a) : *a;
        WCHAR cb = foldCase ? Upcase(*b) : *b;
        if (ca != cb) return ca < cb ? -1 : 1;
        if (!ca) return 0;
    }
}

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) { return CompareStrings(lpString1, lpString2, false); }
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return CompareStrings(lpString1, lpString2, true); }

}  // extern "C"

// ======================================================================================
// wsprintfW family
// ======================================================================================

namespace {

// One conversion: flags '-' '0' '#', width, '.' precision, size 'l' 'h' 'I64', type.
// Writes into out; stops at limit characters (not counting the NUL).
void FormatInto(std::u16string *out, LPCWSTR fmt, va_list args) {
    for (const WCHAR *p = fmt; *p; ++p) {
        if (*p != u'%') {
            out->push_back(*p);
            continue;
        }
        ++p;
        bool left = false, zero = false, alt = false;
        for (;; ++p) {
            if (*p == u'-') left = true;
            else if (*p == u'0') zero = true;
            else if (*p == u'#') alt = true;
            else break;
        }
        int width = 0, precision = -1;
        while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
        if (*p == u'.') {
            precision = 0;
            ++p;
            while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
        }
        bool is64 = false, narrow = false, wide = false;
        if (*p == u'l') { ++p; wide = true; }
        else if (*p == u'h') { ++p; narrow = true; }
        else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') { p += 3; is64 = true; }
        if (!*p) break;
        std::u16string item;
        char buf[64];
        switch (*p) {
        case u's':
        case u'S': {
            bool wideArg = (*p == u's') ? !narrow : wide;
            if (wideArg) {
                const WCHAR *s = va_arg(args, const WCHAR *);
                item = s ? std::u16string(View(s)) : u"(null)";
            } else {
                const char *s = va_arg(args, const char *);
                item = s ? sim::user::U16(s) : u"(null)";
            }
            if (precision >= 0 && item.size() > size_t(precision)) item.resize(size_t(precision));
            break;
        }
        case u'c':
            item.push_back(WCHAR(va_arg(args, int)));
            break;
        case u'd':
        case u'i':
            if (is64) snprintf(buf, sizeof buf, "%lld", (long long)va_arg(args, long long));
            else snprintf(buf, sizeof buf, "%d", va_arg(args, int));
            item = sim::user::U16(buf);
            break;
        case u'u':
            if (is64) snprintf(buf, sizeof buf, "%llu", (unsigned long long)va_arg(args, unsigned long long));
            else snprintf(buf, sizeof buf, "%u", va_arg(args, unsigned));
            item = sim::user::U16(buf);
            break;
        case u'x':
        case u'X': {
            const char *f = *p == u'x' ? (alt ? "%#llx" : "%llx") : (alt ? "%#llX" : "%llX");
            unsigned long long v = is64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
            snprintf(buf, sizeof buf, f, v);
            item = sim::user::U16(buf);
            break;
        }
        case u'p':
            snprintf(buf, sizeof buf, "%016llX", (unsigned long long)(uintptr_t)va_arg(args, void *));
            item = sim::user::U16(buf);
            break;
        default:
            item.push_back(*p);
            break;
        }
        if (int(item.size()) < width) {
            size_t pad = size_t(width) - item.size();
            if (left) item.append(pad, u' ');
            else if (zero && *p != u's' && *p != u'S') {
                size_t at = (!item.empty() && item[0] == u'-') ? 1 : 0;
                item.insert(at, pad, u'0');
            } else item.insert(0, pad, u' ');
        }
        out->append(item);
    }
}

int FormatLimited(LPWSTR dest, int cchDest, LPCWSTR fmt, va_list args) {
    if (!dest || cchDest <= 0 || !fmt) return -1;
    std::u16string text;
    FormatInto(&text, fmt, args);
    bool truncated = int(text.size()) >= cchDest;
    if (truncated) text.resize(size_t(cchDest - 1));
    std::memcpy(dest, text.data(), text.size() * sizeof(WCHAR));
    dest[text.size()] = 0;
    return truncated ? -1 : int(text.size());
}

}  // namespace

extern "C" {

// wsprintfW writes at most 1024 characters, as user32 does, and returns what it wrote.
int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist) {
    int n = FormatLimited(lpOut, 1025, lpFmt, arglist);
    return n < 0 ? (lpOut ? lstrlenW(lpOut) : 0) : n;
}

int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    int n = wvsprintfW(lpOut, lpFmt, args);
    va_end(args);
    return n;
}

// wnsprintfW returns -1 when the text was cut to fit cchDest.
int WINAPI wvnsprintfW(LPWSTR pszDest, int cchDest, LPCWSTR pszFmt, va_list arglist) {
    return FormatLimited(pszDest, cchDest, pszFmt, arglist);
}

int WINAPIV wnsprintfW(LPWSTR pszDest, int cchDest, LPCWSTR pszFmt, ...) {
    va_list args;
    va_start(args, pszFmt);
    int n = wvnsprintfW(pszDest, cchDest, pszFmt, args);
    va_end(args);
    return n;
}

}  // extern "C"
