// The KCS system interface transport: port set and kcs.cfg, and the
// request/response exchange over the three KCS ports.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/transport.h"

namespace korvex {

// Port numbers as held by the tool; port accesses use the low 16 bits.
struct KcsPortSet {
    int64_t command = 0;
    int64_t status = 0;
    int64_t data = 0;
};

inline constexpr int64_t kKcsDefaultCommandPort = 0xCA3;
inline constexpr int64_t kKcsDefaultDataPort = 0xCA2;

// The value of a port number token of kcs.cfg (0 to 0xFFFF).
int64_t parseKcsPortNumber(const char* token);

class KcsTransport final : public Transport {
public:
    explicit KcsTransport(const Platform& platform) : platform_(platform) {}
    int open() override;
    int close() override;
    int exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData, int32_t requestLength,
                 uint8_t* responseData, int32_t* responseLength) override;
    const KcsPortSet& ports() const { return ports_; }

private:
    Platform platform_;
    KcsPortSet ports_;
};

}  // namespace korvex
