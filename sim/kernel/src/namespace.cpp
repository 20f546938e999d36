// The object namespace: symbolic links in the global DOS-device directory, and the resolution
// of a name through links and device interfaces to a device object.
//
// Locking: LinkLock guards the link table; it is taken only around table accesses.
#include "namespace_internal.h"

#include <map>
#include <mutex>

namespace sim {
namespace pnp {

// =====================================================================================
// Link table
// =====================================================================================
namespace {

struct Link {
    std::u16string name;    // canonical form, as first created
    std::u16string target;
    PDRIVER_OBJECT owner;   // the driver whose code created it
};

struct LinkTable {
    std::mutex lock;
    std::map<std::u16string, Link> links;  // by upper-case canonical name
    bool leakSourceRegistered = false;
};

LinkTable &Links() {
    static LinkTable *table = new LinkTable;
    return *table;
}

bool StartsWithNoCase(const std::u16string &text, const std::u16string &prefix) {
    return text.size() >= prefix.size() && Upcase(text.substr(0, prefix.size())) == Upcase(prefix);
}

// Symbolic links still owned by a driver when it unloads are leaks.
std::vector<std::string> LinkLeaks(PDRIVER_OBJECT driver) {
    LinkTable &table = Links();
    std::lock_guard<std::mutex> guard(table.lock);
    std::vector<std::string> leaks;
    for (auto &entry : table.links)
        if (entry.second.owner == driver)
            leaks.push_back("symbolic link " + Utf8(entry.second.name) + " -> " + Utf8(entry.second.target) +
                            " not deleted");
    return leaks;
}

void EnsureLeakSourceLocked(LinkTable &table) {
    if (table.leakSourceRegistered) return;
    table.leakSourceRegistered = true;
    RegisterLeakSource("symbolic links", LinkLeaks);
}

}  // namespace

// =====================================================================================
// Names
// =====================================================================================
// \DosDevices and \?? are this session's view of \GLOBAL??; their "Global" subdirectory is
// \GLOBAL?? itself. Every spelling of a DOS-device name therefore has one global form.
std::u16string Canonical(const std::u16string &name) {
    static const char16_t *const prefixes[] = {u"\\DosDevices\\Global\\", u"\\??\\Global\\", u"\\GLOBAL??\\Global\\",
                                               u"\\DosDevices\\", u"\\??\\", u"\\GLOBAL??\\"};
    for (const char16_t *prefix : prefixes) {
        std::u16string text(prefix);
        if (StartsWithNoCase(name, text)) return u"\\GLOBAL??\\" + name.substr(text.size());
    }
    return name;
}

// =====================================================================================
// Links
// =====================================================================================
NTSTATUS CreateLink(const std::u16string &link, const std::u16string &target) {
    if (link.empty() || link[0] != u'\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (ShouldFail(FaultSymbolicLink)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = Canonical(link);
    LinkTable &table = Links();
    std::lock_guard<std::mutex> guard(table.lock);
    EnsureLeakSourceLocked(table);
    std::u16string key = Upcase(name);
    if (table.links.count(key) != 0 || InterfaceNamed(name)) return STATUS_OBJECT_NAME_COLLISION;
    table.links[key] = Link{name, target, CurrentDriver()};
    return STATUS_SUCCESS;
}

NTSTATUS DeleteLink(const std::u16string &link) {
    LinkTable &table = Links();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.links.erase(Upcase(Canonical(link))) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::u16string> LinkTarget(const std::u16string &link) {
    LinkTable &table = Links();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.links.find(Upcase(Canonical(link)));
    if (found == table.links.end()) return std::nullopt;
    return found->second.target;
}

// =====================================================================================
// Resolution
// =====================================================================================
namespace {

// The longest prefix of 'name' (ending at a separator or at the end) that 'match' accepts.
template <typename Match>
bool SplitAtLongestPrefix(const std::u16string &name, Match match, std::u16string *rest) {
    for (size_t end = name.size(); end > 1; end--) {
        if (end != name.size() && name[end] != u'\\') continue;
        if (match(name.substr(0, end))) {
            *rest = name.substr(end);
            return true;
        }
    }
    return false;
}

}  // namespace

// Follows links (at most 32, as a guard against loops) until a device or an enabled interface
// is reached.
PDEVICE_OBJECT Resolve(const std::u16string &start, std::u16string *remainder) {
    std::u16string name = Canonical(start);
    for (int hops = 0; hops < 32; hops++) {
        std::u16string rest;
        PDEVICE_OBJECT device = nullptr;
        if (SplitAtLongestPrefix(name, [&](const std::u16string &prefix) { return (device = FindNamedDevice(prefix)) != nullptr; }, &rest)) {
            if (remainder != nullptr) *remainder = rest;
            return device;
        }
        if (SplitAtLongestPrefix(name, [&](const std::u16string &prefix) { return (device = EnabledInterfaceDevice(prefix)) != nullptr; }, &rest)) {
            if (remainder != nullptr) *remainder = rest;
            return device;
        }
        std::optional<std::u16string> target;
        if (!SplitAtLongestPrefix(name, [&](const std::u16string &prefix) { return (target = LinkTarget(prefix)).has_value(); }, &rest))
            return nullptr;
        name = Canonical(*target + rest);
    }
    return nullptr;
}

}  // namespace pnp

// =====================================================================================
// Control interface
// =====================================================================================
std::u16string CanonicalObjectName(const std::u16string &name) { return pnp::Canonical(name); }

std::optional<std::u16string> SymbolicLinkTarget(const std::u16string &link) { return pnp::LinkTarget(link); }

std::vector<std::u16string> SymbolicLinks() {
    pnp::LinkTable &table = pnp::Links();
    std::lock_guard<std::mutex> guard(table.lock);
    std::vector<std::u16string> names;
    for (auto &entry : table.links) names.push_back(entry.second.name);
    return names;
}

PDEVICE_OBJECT ResolveDeviceName(const std::u16string &name, std::u16string *remainder) {
    return pnp::Resolve(name, remainder);
}

}  // namespace sim

// =====================================================================================
// Kernel routines
// =====================================================================================
extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return sim::pnp::CreateLink(sim::pnp::FromCounted(SymbolicLinkName), sim::pnp::FromCounted(DeviceName));
}

extern "C" NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return IoCreateSymbolicLink(SymbolicLinkName, DeviceName);
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    return sim::pnp::DeleteLink(sim::pnp::FromCounted(SymbolicLinkName));
}
