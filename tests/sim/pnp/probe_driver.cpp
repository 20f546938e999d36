// A tiny driver module for the loader tests. Every DriverEntry counts its entries in a global
// and writes the count as "Entries" under its service key, so a fresh load shows 1 again. With
// "FailEntry" set in the service key, DriverEntry fails.
#include "sim/kernel/include/ntddk_sim.h"

static ULONG g_entries = 0;

static VOID ProbeUnload(PDRIVER_OBJECT)
{
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ++g_entries;
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, RegistryPath->Buffer, u"Entries", REG_DWORD,
                                            &g_entries, sizeof g_entries);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG fail = 0;
    ULONG noDefault = 0;
    RTL_QUERY_REGISTRY_TABLE query[2] = {};
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    query[0].Name = (PWSTR)u"FailEntry";
    query[0].EntryContext = &fail;
    query[0].DefaultType = REG_DWORD;
    query[0].DefaultData = &noDefault;
    query[0].DefaultLength = sizeof noDefault;
    status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, RegistryPath->Buffer, query, nullptr, nullptr);
    if (!NT_SUCCESS(status) || fail != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    DriverObject->DriverUnload = ProbeUnload;
    return STATUS_SUCCESS;
}
