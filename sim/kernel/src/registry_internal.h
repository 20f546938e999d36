// Internal interface of the registry store (registry_store.cpp) for the registry's kernel
// routines. Not for drivers or tests.
#pragma once

#include "pnp_internal.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {
namespace pnp {

bool KeyExists(const std::u16string &key);
void WriteValue(const std::u16string &key, const std::u16string &name, ULONG type, const void *data, size_t size);
std::optional<RegistryValue> ReadValue(const std::u16string &key, const std::u16string &name);
bool DeleteValue(const std::u16string &key, const std::u16string &name);
std::vector<std::u16string> ValueNames(const std::u16string &key);
void DeleteTree(const std::u16string &key);

}  // namespace pnp
}  // namespace sim
