// Internal interface of the object namespace (namespace.cpp, namespace_interfaces.cpp).
#pragma once

#include "pnp_internal.h"

#include <optional>
#include <string>

namespace sim {
namespace pnp {

std::u16string Canonical(const std::u16string &name);
NTSTATUS CreateLink(const std::u16string &link, const std::u16string &target);
NTSTATUS DeleteLink(const std::u16string &link);
std::optional<std::u16string> LinkTarget(const std::u16string &link);
PDEVICE_OBJECT Resolve(const std::u16string &name, std::u16string *remainder);

// Device interfaces: true when an interface (enabled or not) carries this canonical name;
// the physical device object behind an enabled interface of that name, else nullptr.
bool InterfaceNamed(const std::u16string &canonicalName);
PDEVICE_OBJECT EnabledInterfaceDevice(const std::u16string &canonicalName);

}  // namespace pnp
}  // namespace sim
