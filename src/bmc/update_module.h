// The BMC's side of the firmware update: the update state, the block info
// and firmware data requests that fill its flash, the progress of the flash
// write, and the faults a real BMC can show on each of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class UpdateModule final : public BmcModule {
public:
    // One sendBlockInfo as received.
    struct BlockInfo {
        uint32_t startOffset = 0;
        uint32_t areaLength = 0;
        uint32_t length = 0;
        uint8_t index = 0;
        uint8_t count = 0;
        uint64_t bytesReceived = 0;  // firmware bytes that came for it
    };

    void install(SimBmc& bmc) override;

    // Set by the knobs (bmc/knobs.cpp) before the run.
    struct Knobs {
        uint8_t updateState = kUpdateStateReady;  // in the answers to both update-info requests
        struct Drop {
            uint8_t command;
            uint64_t nth;  // 0: every time
        };
        std::vector<Drop> drops;      // exchanges that break before the request is handled
        std::vector<uint8_t> noData;  // requests answered without their data byte
        struct Verdict {
            uint8_t code;
            std::optional<uint8_t> part;  // none: the last chunk of every part
        };
        std::optional<Verdict> verdict;  // the last chunk is rejected (0xCD) with this code
        // Progress answers in order, the last one repeated; empty: 25 more each time, up to 100.
        std::vector<uint8_t> progress;
    } knobs;

    // The BMC's flash (32 MiB, 0xFF where nothing was written), shared with the dump side.
    const std::vector<uint8_t>& flash() const { return bmc_->flash(); }
    std::vector<uint8_t>& flash() { return bmc_->flash(); }

    const std::vector<BlockInfo>& blocks() const { return blocks_; }
    // The data byte of every update-info request (0x16 and 0x0D), in order.
    const std::vector<uint8_t>& preserveFlags() const { return preserveFlags_; }

private:
    Response updateInfo(const Request& request, uint8_t command);
    Response sendBlockInfo(const Request& request);
    Response receiveFWData(const Request& request);
    Response progress(const Request& request);
    bool dropped(uint8_t command) const;
    bool withoutData(uint8_t command) const;

    SimBmc* bmc_ = nullptr;
    uint8_t progress_ = 0;
    uint64_t progressPolls_ = 0;
    uint64_t writeAt_ = 0;  // flash offset of the next firmware byte
    std::vector<BlockInfo> blocks_;
    std::vector<uint8_t> preserveFlags_;
};

}  // namespace korvex::bmc
