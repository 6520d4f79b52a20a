// The transport table: the three operations through which every request of a
// run reaches the BMC. The main routine binds it once per run.
#pragma once

#include <cstdint>

namespace korvex {

// NetFn/LUN bytes of the requests the tool sends (LUN is always 0).
inline constexpr uint8_t kNetFnLunApp = 0x06 << 2;  // 0x18
inline constexpr uint8_t kNetFnLunOem = 0x3E << 2;  // 0xF8

class Transport {
public:
    // -1 when the interface is not ready for use; any other value is success.
    virtual int open() = 0;
    // The result is ignored by every caller.
    virtual int close() = 0;
    // Sends one request and receives its response. Returns the completion
    // code (0..255) of a received response, with its data copied to
    // responseData and their count stored in *responseLength; or -1 when the
    // exchange itself failed. After a failure while reading the response
    // *responseLength is -1; after one while writing the request it is left
    // as it was. responseData must hold 125 bytes.
    virtual int exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData, int32_t requestLength,
                         uint8_t* responseData, int32_t* responseLength) = 0;

protected:
    ~Transport() = default;
};

}  // namespace korvex
