// The BMC's side of the flash dump: prepare, readiness, and the flash served
// in 56-byte pieces, with knobs for the length and the answer values and
// faults for every way a BMC can let the dump down.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class DumpModule final : public BmcModule {
public:
    void install(SimBmc& bmc) override;

    // Set by the knobs (bmc/knobs.cpp) before the run. Piece numbers count
    // the piece requests from 1; 0 is off.
    struct Knobs {
        uint64_t readyAfter = 0;         // not-ready answers before the dump is ready
        std::optional<uint64_t> length;  // announced; none: the flash size
        std::optional<uint64_t> send;    // bytes actually served; none: the announced length
        uint8_t notReadyByte = 0;        // the readiness byte while not ready (anything but 1)
        uint8_t lastFlag = 1;            // the last piece's flag (anything but 0)
        bool neverReady = false;
        uint8_t readyBytes = 0;  // the ready answer carries only this many of its bytes (0: all)
        uint64_t dropAt = 0;     // piece request whose exchange breaks
        uint64_t noDataAt = 0;   // piece request answered without data
        uint64_t shortAt = 0;    // piece request answered with a full piece one byte short
    } knobs;

private:
    Response prepare();
    Response checkComplete();
    Response getData();
    uint64_t announcedLength() const;
    uint64_t servedLength() const;

    SimBmc* bmc_ = nullptr;
    // The dump in progress.
    uint64_t polls_ = 0;
    uint64_t offset_ = 0;
    uint64_t pieceRequests_ = 0;
};

}  // namespace korvex::bmc
