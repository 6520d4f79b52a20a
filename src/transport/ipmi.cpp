#include "transport/ipmi.h"

namespace korvex {

namespace {
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

StepResult doIPMICmd(BmcLink& link, const uint8_t* requestData, int32_t requestLength, uint8_t* responseData,
                     int32_t* inlen, const RetryPolicy& policy, TaskStatus* status) {
    // Wider than the 8 bits a limit is meant to fit in, so that a limit
    // above 255 still ends instead of wrapping the count for ever.
    uint64_t attempts = 0;
    for (;;) {
        const ExchangeResult result =
            link.transport.exchange(kNetFnLunOem, kCmdConfigTransfer, requestData, requestLength, responseData);
        *inlen = result.lengthAfter(*inlen);
        if (result.value() != 0) {
            link.console.print("[doIPMICmd] Abnormal. CompCode == 0x%x\n", static_cast<uint32_t>(result.value()));
        } else {
            uint8_t b = responseData[0];
            status->taskId = b >> 4;
            status->taskState = (b & 0x0F) >> 1;
            status->lowBit = b & 1;
            if (policy.stateCheck == 0 || status->taskState == policy.expectedState) break;
        }
        ++attempts;
        if (policy.retryDelaySeconds != 0)
            sleepMicroseconds(link.stall, static_cast<uint32_t>(policy.retryDelaySeconds * 1000000u));
        if (attempts >= policy.attemptLimit) break;
    }
    if (policy.attemptLimit != 0 && attempts == policy.attemptLimit) {
        link.console.print("Error: doIPMICmd failed\n");
        return StepResult::Failed;
    }
    if (*inlen > 0) return StepResult::Ok;
    link.console.print("Error: inlen <= 0\n");
    return StepResult::Failed;
}

int64_t littleEndianField(const uint8_t* bytes, uint8_t count) {
    uint32_t value = 0;
    for (uint8_t i = 0; i < count && i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return static_cast<int32_t>(value);
}

int bmcColdReset(BmcLink& link) {
    uint8_t response[128];
    if (link.transport.exchange(kNetFnLunApp, kCmdColdReset, nullptr, 0, response).succeeded()) {
        link.console.print("Execute Cold Reset Success\n");
        return 0;
    }
    link.console.print("Execute Cold Reset Fail\n");
    return -1;
}

}  // namespace korvex
