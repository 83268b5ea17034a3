// The object namespace: named device objects and symbolic links, looked up
// without regard to case; \DosDevices is the same directory as \??.
#include <map>

#include "model.h"

namespace kmodel::detail {

namespace {

struct Entry {
    std::u16string name;  // as created
    PDEVICE_OBJECT device = nullptr;
    std::u16string target;  // for a symbolic link
};

struct Namespace {
    Mutex mutex;
    std::map<std::u16string, Entry> entries;  // by canonical name
};

Namespace& Names() {
    static Namespace names;
    return names;
}

}  // namespace

std::u16string ToLower(const std::u16string& s) {
    std::u16string out = s;
    for (char16_t& c : out) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return out;
}

std::u16string Canonical(const std::u16string& name) {
    std::u16string lower = ToLower(name);
    if (lower == u"\\dosdevices" || lower == u"\\global??") {
        return u"\\??";
    }
    for (const std::u16string prefix : {u"\\dosdevices\\", u"\\global??\\"}) {
        if (lower.rfind(prefix, 0) == 0) {
            return u"\\??\\" + lower.substr(prefix.size());
        }
    }
    return lower;
}

NTSTATUS InsertNamedDevice(const std::u16string& name, PDEVICE_OBJECT device) {
    std::lock_guard<Mutex> guard(Names().mutex);
    auto [it, inserted] = Names().entries.try_emplace(Canonical(name), Entry{name, device, {}});
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void RemoveNamedDevice(const std::u16string& name) {
    std::lock_guard<Mutex> guard(Names().mutex);
    Names().entries.erase(Canonical(name));
}

NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target) {
    std::lock_guard<Mutex> guard(Names().mutex);
    auto [it, inserted] = Names().entries.try_emplace(Canonical(link), Entry{link, nullptr, target});
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS DeleteLink(const std::u16string& link) {
    std::lock_guard<Mutex> guard(Names().mutex);
    auto it = Names().entries.find(Canonical(link));
    if (it == Names().entries.end() || it->second.device != nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Names().entries.erase(it);
    return STATUS_SUCCESS;
}

// Follows links to a device object; a name that goes on below a device (or
// below a link) leaves the rest for the device's driver to interpret.
NTSTATUS ResolveName(const std::u16string& name, PDEVICE_OBJECT* device, std::u16string* remainder) {
    std::lock_guard<Mutex> guard(Names().mutex);
    std::u16string current = name;
    std::u16string rest;
    for (int depth = 0; depth < 32; ++depth) {
        std::u16string canonical = Canonical(current);
        auto it = Names().entries.find(canonical);
        size_t cut = current.size();
        while (it == Names().entries.end()) {
            cut = current.rfind(u'\\', cut - 1);
            if (cut == std::u16string::npos || cut == 0) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            it = Names().entries.find(Canonical(current.substr(0, cut)));
        }
        rest = current.substr(cut) + rest;
        if (it->second.device != nullptr) {
            *device = it->second.device;
            if (remainder != nullptr) {
                *remainder = rest;
            }
            return STATUS_SUCCESS;
        }
        current = it->second.target;
    }
    return STATUS_OBJECT_NAME_INVALID;  // a loop of links
}

void ResetNamespace() {
    std::lock_guard<Mutex> guard(Names().mutex);
    Names().entries.clear();
}

}  // namespace kmodel::detail

namespace kmodel {

using namespace detail;

PDEVICE_OBJECT LookupDevice(const std::u16string& name) {
    std::lock_guard<Mutex> guard(Names().mutex);
    auto it = Names().entries.find(Canonical(name));
    return it == Names().entries.end() ? nullptr : it->second.device;
}

bool SymbolicLinkTarget(const std::u16string& link, std::u16string* target) {
    std::lock_guard<Mutex> guard(Names().mutex);
    auto it = Names().entries.find(Canonical(link));
    if (it == Names().entries.end() || it->second.device != nullptr) {
        return false;
    }
    *target = it->second.target;
    return true;
}

std::vector<std::u16string> ListDirectory(const std::u16string& directory) {
    std::lock_guard<Mutex> guard(Names().mutex);
    std::u16string prefix = Canonical(directory) + u"\\";
    std::vector<std::u16string> names;
    for (const auto& [key, entry] : Names().entries) {
        if (key.rfind(prefix, 0) == 0) {
            names.push_back(entry.name);
        }
    }
    return names;
}

}  // namespace kmodel

using namespace kmodel;
using namespace kmodel::detail;

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    RequireIrqlExactly("IoCreateSymbolicLink", PASSIVE_LEVEL);
    return CreateLink(FromUnicodeString(*SymbolicLinkName), FromUnicodeString(*DeviceName));
}

NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    RequireIrqlExactly("IoCreateUnprotectedSymbolicLink", PASSIVE_LEVEL);
    return CreateLink(FromUnicodeString(*SymbolicLinkName), FromUnicodeString(*DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    RequireIrqlExactly("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    return DeleteLink(FromUnicodeString(*SymbolicLinkName));
}
