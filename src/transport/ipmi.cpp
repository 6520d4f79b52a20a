#include "transport/ipmi.h"

namespace korvex {

namespace {
constexpr uint8_t kCmdConfigTransfer = 0x20;
constexpr uint8_t kCmdColdReset = 0x02;
constexpr uint64_t kStallPiece = 0xFFFFFFFEu;
}  // namespace

int sleepMicroseconds(Stall& stall, uint64_t microseconds) {
    // Firmware that takes the argument as 32 bits must never see more.
    while (microseconds > kStallPiece) {
        stall.stall(kStallPiece);
        microseconds -= kStallPiece;
    }
    stall.stall(microseconds);
    return 0;
}

int8_t doIPMICmd(BmcLink& link, const uint8_t* requestData, int32_t requestLength, uint8_t* responseData,
                 int32_t* inlen, CommandControl* control) {
    // Wider than the 8 bits a limit is meant to fit in, so that a limit
    // above 255 still ends instead of wrapping the count for ever.
    uint64_t attempts = 0;
    for (;;) {
        int result = link.transport.exchange(kNetFnLunOem, kCmdConfigTransfer, requestData, requestLength,
                                             responseData, inlen);
        if (result != 0) {
            link.console.print("[doIPMICmd] Abnormal. CompCode == 0x%x\n", static_cast<uint32_t>(result));
        } else {
            uint8_t b = responseData[0];
            control->taskId = b >> 4;
            control->taskState = (b & 0x0F) >> 1;
            control->lowBit = b & 1;
            if (control->stateCheck == 0 || control->taskState == control->expectedState) break;
        }
        ++attempts;
        if (control->retryDelaySeconds != 0)
            sleepMicroseconds(link.stall, static_cast<uint32_t>(control->retryDelaySeconds * 1000000u));
        if (attempts >= control->attemptLimit) break;
    }
    if (control->attemptLimit != 0 && attempts == control->attemptLimit) {
        link.console.print("Error: doIPMICmd failed\n");
        return -1;
    }
    if (*inlen > 0) return 0;
    link.console.print("Error: inlen <= 0\n");
    return -1;
}

int64_t littleEndianField(const uint8_t* bytes, uint8_t count) {
    uint32_t value = 0;
    for (uint8_t i = 0; i < count && i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return static_cast<int32_t>(value);
}

int bmcColdReset(BmcLink& link) {
    uint8_t response[128];
    int32_t length = 0;
    int result = link.transport.exchange(kNetFnLunApp, kCmdColdReset, nullptr, 0, response, &length);
    if (result == 0) {
        link.console.print("Execute Cold Reset Success\n");
        return 0;
    }
    link.console.print("Execute Cold Reset Fail\n");
    return -1;
}

}  // namespace korvex
