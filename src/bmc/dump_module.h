// The BMC's side of the flash dump: prepare, readiness, and the flash served
// in 56-byte pieces, with knobs for the length and faults for every way a
// BMC can let the dump down.
#pragma once

#include <cstdint>
#include <string>

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class DumpModule final : public BmcModule {
public:
    void install(SimBmc& bmc) override;
    KnobResult setKnob(std::string_view name, std::string_view value, std::string* error) override;
    std::string knobHelp() const override;

    static constexpr size_t kPieceSize = 56;

private:
    Response prepare();
    Response checkComplete();
    Response getData();
    KnobResult setFault(std::string_view value, std::string* error);
    uint64_t announcedLength() const;
    uint64_t servedLength() const;

    SimBmc* bmc_ = nullptr;
    // Knobs.
    uint64_t readyAfter_ = 0;  // not-ready answers before the dump is ready
    bool lengthSet_ = false;
    uint64_t length_ = 0;  // announced length
    bool sendSet_ = false;
    uint64_t send_ = 0;  // bytes actually served
    // Faults.
    bool neverReady_ = false;
    bool readyShort_ = false;
    uint64_t dropAt_ = 0;    // piece request whose exchange breaks
    uint64_t noDataAt_ = 0;  // piece request answered without data
    uint64_t shortAt_ = 0;   // piece request answered with a short full piece
    // The dump in progress.
    uint64_t polls_ = 0;
    uint64_t offset_ = 0;
    uint64_t pieceRequests_ = 0;
};

}  // namespace korvex::bmc
