#include "korvex/system_ports.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace korvex::linuxhost {

namespace {

// Small kernel-made files; the cap only bounds a fake or broken one.
bool readSmallFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    constexpr size_t kCap = 1 << 20;
    text->clear();
    char buffer[4096];
    while (text->size() < kCap && in.read(buffer, sizeof buffer).gcount() > 0) {
        text->append(buffer, static_cast<size_t>(in.gcount()));
    }
    return !in.bad();
}

// The names in a folder that begin with prefix, sorted.
std::vector<std::string> namesIn(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool parseHex(const std::string& text, uint64_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    if (text.size() > 16) return false;
    *value = std::strtoull(text.c_str(), nullptr, 16);
    return true;
}

}  // namespace

std::vector<IoportsEntry> parseIoports(const std::string& text) {
    std::vector<IoportsEntry> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        IoportsEntry e;
        e.depth = line.find_first_not_of(' ');
        const size_t dash = line.find('-', e.depth);
        const size_t colon = line.find(" : ", e.depth);
        if (e.depth == std::string::npos || dash == std::string::npos || colon == std::string::npos || dash > colon)
            continue;
        if (!parseHex(line.substr(e.depth, dash - e.depth), &e.first) ||
            !parseHex(line.substr(dash + 1, colon - dash - 1), &e.last) || e.last < e.first)
            continue;
        e.name = line.substr(colon + 3);
        entries.push_back(std::move(e));
    }
    return entries;
}

bool readIoports(const std::string& root, std::vector<IoportsEntry>* entries) {
    std::string text;
    if (!readSmallFile(root + "/proc/ioports", &text)) return false;
    *entries = parseIoports(text);
    return true;
}

bool addressesHidden(const std::vector<IoportsEntry>& entries) {
    return !entries.empty() && std::all_of(entries.begin(), entries.end(),
                                           [](const IoportsEntry& e) { return e.first == 0 && e.last == 0; });
}

const IoportsEntry* holderOf(const std::vector<IoportsEntry>& entries, uint16_t port) {
    const IoportsEntry* holder = nullptr;
    for (const IoportsEntry& e : entries) {
        if (port >= e.first && port <= e.last && (holder == nullptr || e.depth >= holder->depth)) holder = &e;
    }
    return holder;
}

bool decodeSmbiosIpmi(const std::string& raw, KcsDescription* out) {
    // Offsets of the structure's fields.
    constexpr size_t kInterfaceType = 0x04, kBaseAddress = 0x08, kModifier = 0x10, kShortLength = 0x10,
                     kFullLength = 0x12;
    constexpr uint8_t kTypeIpmiDevice = 38, kInterfaceKcs = 1;
    const auto byte = [&raw](size_t at) { return static_cast<uint8_t>(raw[at]); };
    if (raw.size() < kShortLength || byte(0) != kTypeIpmiDevice || byte(1) < kShortLength || raw.size() < byte(1))
        return false;
    if (byte(kInterfaceType) != kInterfaceKcs) return false;
    uint64_t base = 0;
    for (size_t i = 0; i < 8; ++i) base |= uint64_t{byte(kBaseAddress + i)} << (8 * i);
    KcsDescription d;
    d.source = "SMBIOS";
    uint64_t spacing = 1;
    if (byte(1) >= kFullLength) {
        // Bit 0 of the address tells I/O (1) from memory (0); the address's
        // own lowest bit is bit 4 of the modifier, and bits 7..6 give the
        // distance between the two registers.
        const uint8_t modifier = byte(kModifier);
        d.io = (base & 1) != 0;
        base = (d.io ? base & 0xFFFE : base & ~uint64_t{1}) | ((modifier >> 4) & 1);
        static constexpr uint64_t kSpacing[] = {1, 4, 16};
        if ((modifier >> 6) > 2) return false;
        spacing = kSpacing[modifier >> 6];
    } else {
        // The first version of the entry has no modifier; in practice its
        // interfaces are all I/O, whatever bit 0 says.
        base &= 0xFFFE;
    }
    d.data = base;
    d.command = base + spacing;
    *out = d;
    return true;
}

std::vector<KcsDescription> describedKcsInterfaces(const std::string& root, const std::vector<IoportsEntry>& ioports) {
    std::vector<KcsDescription> found;
    const std::string dmi = root + "/sys/firmware/dmi/entries";
    for (const std::string& entry : namesIn(dmi, "38-")) {
        std::string raw;
        KcsDescription d;
        if (readSmallFile(dmi + "/" + entry + "/raw", &raw) && decodeSmbiosIpmi(raw, &d)) found.push_back(d);
    }
    // The kernel names the device's resources after it; the first is the
    // data register, a second one the command/status register, else the
    // command/status register follows the data register.
    for (const std::string& device : namesIn(root + "/sys/bus/acpi/devices", "IPI0001:")) {
        std::vector<const IoportsEntry*> resources;
        for (const IoportsEntry& e : ioports) {
            if (e.name == device) resources.push_back(&e);
        }
        if (resources.empty()) continue;  // not an I/O interface (SSIF, memory-mapped) or not enabled
        KcsDescription d;
        d.source = "ACPI " + device;
        d.data = resources[0]->first;
        d.command = resources.size() > 1 ? resources[1]->first : d.data + 1;
        found.push_back(d);
    }
    return found;
}

}  // namespace korvex::linuxhost
