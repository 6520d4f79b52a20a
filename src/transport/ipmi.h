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

// The retry policy a caller hands to doIPMICmd, and what it decodes from the
// first byte of the last good answer.
struct CommandControl {
    uint64_t retryDelaySeconds = 0;  // pause after each unsuccessful attempt; 0: none
    uint8_t stateCheck = 0;          // non-zero: a good answer must be in expectedState
    uint8_t expectedState = 0;
    uint64_t attemptLimit = 0;  // 0: one attempt judged by the answer's length alone
    uint8_t taskId = 0;
    uint8_t taskState = 0;
    uint8_t lowBit = 0;
};

// Everything a BMC request needs from a run: the bound transport, the
// console for its messages and the pause.
struct BmcLink {
    Transport& transport;
    Console& console;
    Stall& stall;
};

// Sends OEM command 0x20 (configuration transfer) by the policy in *control.
// 0 on success, -1 on failure.
int8_t doIPMICmd(BmcLink& link, const uint8_t* requestData, int32_t requestLength, uint8_t* responseData,
                 int32_t* inlen, CommandControl* control);

// Bytes [0, count) read least significant first, as a signed 32-bit value
// widened to 64 bits.
int64_t littleEndianField(const uint8_t* bytes, uint8_t count);

// App Cold Reset; reports the outcome on the console. 0 when the BMC accepted it.
int bmcColdReset(BmcLink& link);

}  // namespace korvex
