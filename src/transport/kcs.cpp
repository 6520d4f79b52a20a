#include "transport/kcs.h"

// Placeholder until the KCS exchange lands: every exchange fails.
namespace korvex {

int64_t parseKcsPortNumber(const char*) { return 0; }

int KcsTransport::open() {
    ports_ = KcsPortSet{kKcsDefaultCommandPort, kKcsDefaultCommandPort, kKcsDefaultDataPort};
    return 0;
}

int KcsTransport::close() { return 0; }

int KcsTransport::exchange(uint8_t, uint8_t, const uint8_t*, int32_t, uint8_t*, int32_t*) { return -1; }

}  // namespace korvex
