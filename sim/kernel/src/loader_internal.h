// Internal interface of the loader and installed-driver database (loader.cpp) for the PnP
// manager.
#pragma once

#include "pnp_internal.h"

#include <string>
#include <vector>

namespace sim {
namespace pnp {

struct InstalledDevice {
    std::u16string hardwareId;
    std::u16string functionService;
    std::vector<std::u16string> upperFilters;  // bottom to top
    std::u16string setupClass;
};

// The installation matching the first of 'ids' (hardware IDs, then compatible IDs) that has one.
bool FindInstalledDevice(const std::vector<std::u16string> &ids, InstalledDevice *found);
NTSTATUS LoadService(const std::u16string &name, PDRIVER_OBJECT *driver);
// Caller made sure that no device node uses the driver any more.
void UnloadUnusedDriver(PDRIVER_OBJECT driver);

}  // namespace pnp
}  // namespace sim
