// Run-time library string routines of the simulated kernel: counted UTF-16 strings.
#include "sim/kernel/include/ntddk_sim.h"

// =====================================================================================
// Helpers
// =====================================================================================
namespace {

WCHAR Upcase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return (WCHAR)(c - (u'a' - u'A'));
    return c;
}

}  // namespace

// =====================================================================================
// Initialisation and copying
// =====================================================================================
extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = (PWSTR)SourceString;
    if (SourceString == NULL) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T bytes = SimWideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;  // the largest even length that leaves room for a terminator
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

// Copies as much as fits; terminates when there is room, as the kernel does.
extern "C" VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~1;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

namespace {

NTSTATUS AppendCounted(PUNICODE_STRING Destination, PCWSTR Source, SIZE_T bytes) {
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove((PCHAR)Destination->Buffer + Destination->Length, Source, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == NULL) return STATUS_SUCCESS;
    return AppendCounted(Destination, Source, SimWideLength(Source) * sizeof(WCHAR));
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return AppendCounted(Destination, Source->Buffer, Source->Length);
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    // Strings the run-time library allocates come from ExAllocatePool.
    if (UnicodeString->Buffer != NULL) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = NULL;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

// =====================================================================================
// Numbers
// =====================================================================================
// Base 0 means 10. The result is terminated when there is room; STATUS_BUFFER_OVERFLOW when
// the digits do not fit.
extern "C" NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    int count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = (WCHAR)(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    SIZE_T bytes = (SIZE_T)count * sizeof(WCHAR);
    if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < count; i++) String->Buffer[i] = digits[count - 1 - i];
    String->Length = (USHORT)bytes;
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

// Leading blanks, an optional sign, an optional 0x/0o/0b prefix when Base is 0; stops at the
// first character that is no digit of the base.
extern "C" NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    const WCHAR *p = String->Buffer;
    SIZE_T n = String->Length / sizeof(WCHAR);
    SIZE_T i = 0;
    while (i < n && p[i] == u' ') i++;
    bool negative = false;
    if (i < n && (p[i] == u'-' || p[i] == u'+')) negative = p[i++] == u'-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && p[i] == u'0') {
            WCHAR c = Upcase(p[i + 1]);
            if (c == u'X') Base = 16;
            else if (c == u'O') Base = 8;
            else if (c == u'B') Base = 2;
            if (Base != 10) i += 2;
        }
    }
    ULONG result = 0;
    for (; i < n; i++) {
        WCHAR c = Upcase(p[i]);
        ULONG digit;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
        else break;
        if (digit >= Base) break;
        result = result * Base + digit;
    }
    *Value = negative ? (ULONG)(0u - result) : result;
    return STATUS_SUCCESS;
}

// =====================================================================================
// Comparison
// =====================================================================================
extern "C" WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return Upcase(SourceCharacter); }

extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    SIZE_T n1 = String1->Length / sizeof(WCHAR);
    SIZE_T n2 = String2->Length / sizeof(WCHAR);
    SIZE_T n = n1 < n2 ? n1 : n2;
    for (SIZE_T i = 0; i < n; i++) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b) return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}
