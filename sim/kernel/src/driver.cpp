// Driver objects of the simulated kernel: creation and entry (in-process test drivers and
// the loader's modules), unload, and the leak report of everything a driver still owns.
#include "kernel_internal.h"

#include <dlfcn.h>

#include <cstdlib>
#include <map>

namespace sim {
namespace detail {

void ForgetPool(PDRIVER_OBJECT driver);
void ForgetHandles(PDRIVER_OBJECT driver);
void ForgetIrps(PDRIVER_OBJECT driver);
void ForgetMdls(PDRIVER_OBJECT driver);
std::string NarrowName(const std::u16string &text);

namespace {

struct DriverRecord {
    std::u16string *name;  // DriverName.Buffer points into it; freed with the driver
    void *module = nullptr;
};

struct DriverTable {
    std::mutex lock;  // guards drivers and leakSources
    std::map<PDRIVER_OBJECT, DriverRecord> drivers;
    std::vector<std::pair<std::string, LeakSource>> leakSources;
};

DriverTable &Drivers() {
    static DriverTable *table = new DriverTable;
    return *table;
}

// What the I/O manager puts in every MajorFunction entry a driver leaves alone.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct DriverAllocation {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
};

PDRIVER_OBJECT NewDriverObject(const std::u16string &name, PDRIVER_INITIALIZE init) {
    auto *allocation = (DriverAllocation *)calloc(1, sizeof(DriverAllocation));
    PDRIVER_OBJECT driver = &allocation->object;
    auto *storedName = new std::u16string(name);
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &allocation->extension;
    driver->DriverExtension->DriverObject = driver;
    driver->DriverName.Buffer = (PWSTR)storedName->c_str();
    driver->DriverName.Length = (USHORT)(storedName->size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = (USHORT)(driver->DriverName.Length + sizeof(WCHAR));
    driver->DriverInit = init;
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    DriverTable &table = Drivers();
    std::lock_guard<std::mutex> guard(table.lock);
    table.drivers[driver].name = storedName;
    return driver;
}

// Forgets the driver's resources (after they were reported) and frees the object. A driver
// that left device objects behind (reported as leaks) keeps its object and its module: those
// devices point to the object, and their dispatch routines are the module's code.
void DeleteDriverObject(PDRIVER_OBJECT driver) {
    ForgetDriverResources(driver);
    if (driver->DeviceObject != NULL) return;
    DriverRecord record{};
    {
        DriverTable &table = Drivers();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.drivers.find(driver);
        if (found != table.drivers.end()) {
            record = found->second;
            table.drivers.erase(found);
        }
    }
    // A module is closed only when none of its code can still run.
    if (record.module != nullptr && RunningSystemThreads(driver) == 0) dlclose(record.module);
    delete record.name;
    free(driver);  // the driver object is the first member of its allocation
}

}  // namespace

void ForgetDriverResources(PDRIVER_OBJECT driver) {
    ForgetPool(driver);
    ForgetHandles(driver);
    ForgetIrps(driver);
    ForgetMdls(driver);
}

}  // namespace detail

// =====================================================================================
// Control interface
// =====================================================================================
using namespace detail;

PDRIVER_OBJECT CreateDriver(const std::u16string &name, PDRIVER_INITIALIZE init, NTSTATUS *status,
                            const std::u16string &registryPath) {
    RegisterSelf();
    PDRIVER_OBJECT driver = NewDriverObject(name, init);
    std::u16string path = registryPath;
    UNICODE_STRING pathString;
    pathString.Buffer = (PWSTR)path.c_str();
    pathString.Length = (USHORT)(path.size() * sizeof(WCHAR));
    pathString.MaximumLength = (USHORT)(pathString.Length + sizeof(WCHAR));
    NTSTATUS result;
    {
        DriverCall call(driver, "DriverEntry", (const void *)init);
        result = init(driver, &pathString);
    }
    if (status != nullptr) *status = result;
    if (NT_SUCCESS(result)) return driver;
    // A failed entry must leave nothing behind: the driver is not unloaded, just dropped.
    CheckDriverLeaks(driver);
    DeleteDriverObject(driver);
    return nullptr;
}

// DriverUnload deletes what the driver created itself; devices still there afterwards are
// reported as leaks with the rest.
void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != NULL) {
        DriverCall call(driver, "DriverUnload", (const void *)driver->DriverUnload);
        driver->DriverUnload(driver);
    }
    CheckDriverLeaks(driver);
    DeleteDriverObject(driver);
}

std::vector<std::string> DriverLeaks(PDRIVER_OBJECT driver) {
    std::vector<std::string> leaks;
    for (auto list : {PoolLeaks(driver), IrpLeaks(driver), MdlLeaks(driver), HandleLeaks(driver), ThreadLeaks(driver),
                      DeviceLeaks(driver)})
        leaks.insert(leaks.end(), list.begin(), list.end());
    std::vector<std::pair<std::string, LeakSource>> sources;
    {
        std::lock_guard<std::mutex> guard(Drivers().lock);
        sources = Drivers().leakSources;
    }
    for (auto &source : sources)
        for (const std::string &leak : source.second(driver)) leaks.push_back(source.first + ": " + leak);
    return leaks;
}

bool CheckDriverLeaks(PDRIVER_OBJECT driver) {
    std::vector<std::string> leaks = DriverLeaks(driver);
    for (const std::string &leak : leaks) Fail("driver " + DriverName(driver) + " leaks " + leak);
    return leaks.empty();
}

void RegisterLeakSource(const std::string &name, LeakSource source) {
    std::lock_guard<std::mutex> guard(Drivers().lock);
    Drivers().leakSources.emplace_back(name, std::move(source));
}

void UnregisterLeakSource(const std::string &name) {
    std::lock_guard<std::mutex> guard(Drivers().lock);
    auto &sources = Drivers().leakSources;
    for (size_t i = 0; i < sources.size(); i++) {
        if (sources[i].first == name) {
            sources.erase(sources.begin() + (long)i);
            return;
        }
    }
}

std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return "(kernel)";
    std::lock_guard<std::mutex> guard(Drivers().lock);
    auto found = Drivers().drivers.find(driver);
    if (found == Drivers().drivers.end()) return Hex((uint64_t)(uintptr_t)driver);
    return NarrowName(*found->second.name);
}

void SetDriverModule(PDRIVER_OBJECT driver, void *module) {
    std::lock_guard<std::mutex> guard(Drivers().lock);
    auto found = Drivers().drivers.find(driver);
    if (found != Drivers().drivers.end()) found->second.module = module;
}

void ResetForTest() {
    ClearFaults();
    ResetForcedPending();
}

}  // namespace sim
