// The KCS system interface transport: port set and kcs.cfg, and the
// request/response exchange over the three KCS ports.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/transport.h"

namespace korvex {

// The registers' vocabulary, shared by both sides of the interface.
namespace kcs {

// Control codes. The host writes the first three to the command register,
// READ to the data register.
inline constexpr uint8_t kGetStatusAbort = 0x60;  // never sent by the tool
inline constexpr uint8_t kWriteStart = 0x61;
inline constexpr uint8_t kWriteEnd = 0x62;
inline constexpr uint8_t kRead = 0x68;

// Status register bits.
inline constexpr uint8_t kObf = 0x01;  // a byte from the BMC waits in the data register
inline constexpr uint8_t kIbf = 0x02;  // the BMC has not yet taken the last byte written
inline constexpr uint8_t kStateMask = 0xC0;
// The state field, bits 7..6. The exchange tests single bits of it.
inline constexpr uint8_t kIdleState = 0x00;   // between messages
inline constexpr uint8_t kReadState = 0x40;   // the BMC is handing out a response
inline constexpr uint8_t kWriteState = 0x80;  // the BMC is taking a request
inline constexpr uint8_t kErrorState = 0xC0;  // the BMC gave up on the transfer
inline constexpr uint8_t kReadStateBit = 0x40;
inline constexpr uint8_t kWriteStateBit = 0x80;

// Stores of one exchange: a request is NetFn/LUN, command and up to 62 data
// bytes; a response NetFn/LUN, command, completion code and up to 125 bytes.
inline constexpr int kRequestStoreSize = 64;
inline constexpr int kReplyStoreSize = 128;
inline constexpr int32_t kMaxRequestData = kRequestStoreSize - 2;

// Every wait for the BMC gives up after 30 s (in 100 ns timer units).
inline constexpr uint64_t kWaitLimit100ns = 300000000;

}  // namespace kcs

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

// Fills *ports from kcs.cfg when it opens, else with the standard ports.
void readKcsPortSet(FileSystem& files, KcsPortSet* ports);

class KcsTransport final : public Transport {
public:
    explicit KcsTransport(const Platform& platform) : platform_(platform) {}
    int open() override;
    int close() override;
    ExchangeResult exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData, int32_t requestLength,
                            uint8_t* responseData) override;
    const KcsPortSet& ports() const { return ports_; }

private:
    Platform platform_;
    KcsPortSet ports_;
};

}  // namespace korvex
