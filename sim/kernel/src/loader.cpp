// The driver loader and the installed-driver database. A service runs a driver module, loaded
// with dlopen (local symbols, so that two drivers' globals and routines never meet, and every
// load starts with fresh globals), or an in-process entry point for small test drivers.
//
// Locking: ServiceLock guards the service and hardware-ID tables. It is never held while a
// driver runs (DriverEntry, DriverUnload).
#include "loader_internal.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

namespace sim {
namespace pnp {

// =====================================================================================
// Installed services and hardware IDs
// =====================================================================================
namespace {

struct Service {
    std::u16string name;
    std::string modulePath;             // a module, or
    PDRIVER_INITIALIZE entry = nullptr; // an in-process entry point
    PDRIVER_OBJECT loaded = nullptr;
};

struct ServiceTables {
    std::mutex lock;
    std::map<std::u16string, Service> services;  // by upper-case name
    std::vector<InstalledDevice> hardwareIds;    // in installation order
};

ServiceTables &Tables() {
    static ServiceTables *tables = new ServiceTables;
    return *tables;
}

Service &ServiceLocked(ServiceTables &tables, const std::u16string &name) {
    Service &service = tables.services[Upcase(name)];
    service.name = name;
    return service;
}

std::u16string RegistryPathOf(const std::u16string &service) { return std::u16string(kServicesRoot) + u"\\" + service; }

// "CardRwCom" from "/path/to/CardRwCom.so".
std::u16string ServiceNameFromPath(const std::string &path) {
    std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    size_t dot = base.find('.');
    return Utf16(dot == std::string::npos ? base : base.substr(0, dot));
}

}  // namespace

bool FindInstalledDevice(const std::vector<std::u16string> &ids, InstalledDevice *found) {
    ServiceTables &tables = Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    for (const std::u16string &id : ids)
        for (const InstalledDevice &installed : tables.hardwareIds)
            if (EqualNoCase(installed.hardwareId, id)) {
                *found = installed;
                return true;
            }
    return false;
}

// Loads the service's driver unless it is loaded already.
NTSTATUS LoadService(const std::u16string &name, PDRIVER_OBJECT *driver) {
    std::string modulePath;
    PDRIVER_INITIALIZE entry = nullptr;
    {
        ServiceTables &tables = Tables();
        std::lock_guard<std::mutex> guard(tables.lock);
        auto found = tables.services.find(Upcase(name));
        if (found == tables.services.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (found->second.loaded != nullptr) {
            *driver = found->second.loaded;
            return STATUS_SUCCESS;
        }
        modulePath = found->second.modulePath;
        entry = found->second.entry;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT loaded = entry != nullptr
                                ? CreateDriver(u"\\Driver\\" + name, entry, &status, RegistryPathOf(name))
                                : LoadDriverModule(modulePath, name, &status);
    if (loaded == nullptr) return status;
    ServiceTables &tables = Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    ServiceLocked(tables, name).loaded = loaded;
    *driver = loaded;
    return STATUS_SUCCESS;
}

// A driver that no device node uses any more is unloaded, as the I/O manager does once the last
// device of a PnP driver is gone: DriverUnload first, then the leak check, which reports device
// objects the driver left behind with everything else it still owns.
void UnloadUnusedDriver(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return;
    bool known = false;
    {
        ServiceTables &tables = Tables();
        std::lock_guard<std::mutex> guard(tables.lock);
        for (auto &entry : tables.services)
            if (entry.second.loaded == driver) {
                entry.second.loaded = nullptr;
                known = true;
            }
    }
    if (known) UnloadDriver(driver);
}

}  // namespace pnp

// =====================================================================================
// Control interface: loader
// =====================================================================================
PDRIVER_OBJECT LoadDriverModule(const std::string &path, const std::u16string &service, NTSTATUS *status) {
    NTSTATUS ignored;
    if (status == nullptr) status = &ignored;
    void *module = dlopen(path.c_str(), RTLD_LOCAL | RTLD_NOW);
    if (module == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(module);
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::u16string name = service.empty() ? pnp::ServiceNameFromPath(path) : service;
    PDRIVER_OBJECT driver = CreateDriver(u"\\Driver\\" + name, entry, status, pnp::RegistryPathOf(name));
    if (driver == nullptr) {
        dlclose(module);
        return nullptr;
    }
    SetDriverModule(driver, module);
    return driver;
}

void UnloadDriverModule(PDRIVER_OBJECT driver) {
    {
        pnp::ServiceTables &tables = pnp::Tables();
        std::lock_guard<std::mutex> guard(tables.lock);
        for (auto &entry : tables.services)
            if (entry.second.loaded == driver) entry.second.loaded = nullptr;
    }
    UnloadDriver(driver);
}

// =====================================================================================
// Control interface: installed drivers
// =====================================================================================
void InstallServiceModule(const std::u16string &service, const std::string &modulePath) {
    pnp::ServiceTables &tables = pnp::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    pnp::Service &record = pnp::ServiceLocked(tables, service);
    record.modulePath = modulePath;
    record.entry = nullptr;
}

void InstallServiceEntry(const std::u16string &service, PDRIVER_INITIALIZE entry) {
    pnp::ServiceTables &tables = pnp::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    pnp::Service &record = pnp::ServiceLocked(tables, service);
    record.modulePath.clear();
    record.entry = entry;
}

void InstallHardwareId(const std::u16string &hardwareId, const std::u16string &functionService,
                       const std::vector<std::u16string> &upperFilters, const std::u16string &setupClass) {
    pnp::ServiceTables &tables = pnp::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    tables.hardwareIds.push_back(pnp::InstalledDevice{hardwareId, functionService, upperFilters, setupClass});
}

PDRIVER_OBJECT LoadedDriver(const std::u16string &service) {
    pnp::ServiceTables &tables = pnp::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    auto found = tables.services.find(pnp::Upcase(service));
    return found == tables.services.end() ? nullptr : found->second.loaded;
}

// Services whose driver is still loaded stay known until it unloads.
void UninstallAll() {
    pnp::ServiceTables &tables = pnp::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    tables.hardwareIds.clear();
    for (auto it = tables.services.begin(); it != tables.services.end();) {
        if (it->second.loaded == nullptr) it = tables.services.erase(it);
        else ++it;
    }
}

}  // namespace sim
