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
    static constexpr size_t kFlashSize = SimBmc::kFlashSize;

    // OEM commands of the firmware transfer.
    static constexpr uint8_t kCmdUsbUpdateInfo = 0x0D;
    static constexpr uint8_t kCmdSendBlockInfo = 0x14;
    static constexpr uint8_t kCmdReceiveFWData = 0x15;
    static constexpr uint8_t kCmdGetFWUpdateInfo = 0x16;
    static constexpr uint8_t kCmdGetFWUpdateProgress = 0x17;

    // One sendBlockInfo as received.
    struct BlockInfo {
        uint32_t startOffset = 0;
        uint32_t areaLength = 0;
        uint32_t length = 0;
        uint8_t index = 0;
        uint8_t count = 0;
        uint64_t bytesReceived = 0;  // firmware bytes that came for it
    };

    UpdateModule();

    void install(SimBmc& bmc) override;
    KnobResult setKnob(std::string_view name, std::string_view value, std::string* error) override;
    std::string knobHelp() const override;
    bool finish(std::string* error) override;

    // The BMC's flash (32 MiB, 0xFF where nothing was written), shared with the dump side.
    const std::vector<uint8_t>& flash() const { return bmc_->flash(); }
    std::vector<uint8_t>& flash() { return bmc_->flash(); }

    const std::vector<BlockInfo>& blocks() const { return blocks_; }
    // The data byte of every update-info request (0x16 and 0x0D), in order.
    const std::vector<uint8_t>& preserveFlags() const { return preserveFlags_; }
    void setUpdateState(uint8_t state) { updateState_ = state; }

private:
    struct Drop {
        uint8_t command;
        uint64_t nth;  // 0: every time
    };
    struct Verdict {
        uint8_t code;
        std::optional<uint8_t> part;  // none: the last chunk of every part
    };

    Response updateInfo(const Request& request, uint8_t command);
    Response sendBlockInfo(const Request& request);
    Response receiveFWData(const Request& request);
    Response progress(const Request& request);
    bool dropped(uint8_t command) const;
    bool withoutData(uint8_t command) const;
    KnobResult setFault(std::string_view value, std::string* error);

    SimBmc* bmc_ = nullptr;
    std::string saveFlashPath_;
    uint8_t updateState_ = 2;
    std::vector<Drop> drops_;
    std::vector<uint8_t> noData_;
    std::optional<Verdict> verdict_;
    std::optional<uint8_t> stuckProgress_;
    uint8_t progress_ = 0;
    uint64_t writeAt_ = 0;  // flash offset of the next firmware byte
    std::vector<BlockInfo> blocks_;
    std::vector<uint8_t> preserveFlags_;
};

}  // namespace korvex::bmc
