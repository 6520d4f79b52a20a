// Numbers typed on a host tool's command line: decimal, or hexadecimal with
// 0x. Shared by korvex-pack and the simulated BMC's knobs.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvex::hosted {

// False for an empty text, a stray character or a value beyond 64 bits.
inline bool parseNumber(std::string_view text, uint64_t* value) {
    uint64_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        uint64_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<uint64_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<uint64_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<uint64_t>(c - 'A' + 10);
        else
            return false;
        if (d >= base || v > (UINT64_MAX - d) / base) return false;
        v = v * base + d;
    }
    *value = v;
    return true;
}

}  // namespace korvex::hosted
