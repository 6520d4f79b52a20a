// Helpers on top of transport exchange: the pause between requests, the
// configuration-transfer command helper with its retry policy, little-endian
// fields, and the BMC cold reset.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/transport.h"

namespace korvex {

// Pauses through the platform's Stall, in pieces Stall is sure to take.
int sleepMicroseconds(Stall& stall, uint64_t microseconds);

// How a caller wants doIPMICmd to repeat a request.
struct RetryPolicy {
    uint64_t retryDelaySeconds = 0;  // pause after each unsuccessful attempt; 0: none
    uint8_t stateCheck = 0;          // non-zero: a good answer must be in expectedState
    uint8_t expectedState = 0;
    uint64_t attemptLimit = 0;  // 0: one attempt judged by the answer's length alone
};

// What doIPMICmd decodes from the first byte of the last good answer. Left as
// it was by attempts that brought no good answer.
struct TaskStatus {
    uint8_t taskId = 0;
    uint8_t taskState = 0;
    uint8_t lowBit = 0;
};

// The verdict of doIPMICmd and of each step of a transfer module, with the
// values those hand back: 0 for success, 0xFF (-1 as a signed byte) for failure.
enum class [[nodiscard]] StepResult : uint8_t{Ok = 0x00, Failed = 0xFF};

// Everything a BMC request needs from a run: the bound transport, the
// console for its messages and the pause.
struct BmcLink {
    Transport& transport;
    Console& console;
    Stall& stall;
};

// Sends OEM command 0x20 (configuration transfer) by the policy, leaving the
// answer's data count in *inlen (-1 after a failure while reading; a failure
// while writing leaves it as it was, and the verdict may rest on it) and the
// task's status in *status.
StepResult doIPMICmd(BmcLink& link, const uint8_t* requestData, int32_t requestLength, uint8_t* responseData,
                     int32_t* inlen, const RetryPolicy& policy, TaskStatus* status);

// Bytes [0, count) read least significant first, as a signed 32-bit value
// widened to 64 bits.
int64_t littleEndianField(const uint8_t* bytes, uint8_t count);

// App Cold Reset; reports the outcome on the console. 0 when the BMC accepted it.
int bmcColdReset(BmcLink& link);

}  // namespace korvex
