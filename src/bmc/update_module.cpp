#include "bmc/update_module.h"

#include <algorithm>

namespace korvex::bmc {

namespace {
constexpr uint8_t kProgressStep = 25;
// A broken exchange; where a carrier does not break it, 0xFF is the closest
// answer: the low byte the tool reads from a failed exchange.
const Response kDropped{0xFF, {}, true};

uint32_t bigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}
}  // namespace

void UpdateModule::install(SimBmc& bmc) {
    bmc_ = &bmc;
    bmc.setHandler(kNetFnOem, kCmdGetFWUpdateInfo,
                   [this](const Request& r) { return updateInfo(r, kCmdGetFWUpdateInfo); });
    bmc.setHandler(kNetFnOem, kCmdUsbUpdateInfo, [this](const Request& r) { return updateInfo(r, kCmdUsbUpdateInfo); });
    bmc.setHandler(kNetFnOem, kCmdSendBlockInfo, [this](const Request& r) { return sendBlockInfo(r); });
    bmc.setHandler(kNetFnOem, kCmdReceiveFWData, [this](const Request& r) { return receiveFWData(r); });
    bmc.setHandler(kNetFnOem, kCmdGetFWUpdateProgress, [this](const Request& r) { return progress(r); });
}

bool UpdateModule::dropped(uint8_t command) const {
    const uint64_t occurrence = bmc_->count(kNetFnOem, command);
    return std::any_of(knobs.drops.begin(), knobs.drops.end(), [&](const Knobs::Drop& d) {
        return d.command == command && (d.nth == 0 || d.nth == occurrence);
    });
}

bool UpdateModule::withoutData(uint8_t command) const {
    return std::find(knobs.noData.begin(), knobs.noData.end(), command) != knobs.noData.end();
}

Response UpdateModule::updateInfo(const Request& request, uint8_t command) {
    if (dropped(command)) return kDropped;
    if (request.data.size() != 1) return Response{kCcBadLength, {}};
    preserveFlags_.push_back(request.data[0]);
    if (withoutData(command)) return Response{0x00, {}};
    return Response{0x00, {knobs.updateState}};
}

Response UpdateModule::sendBlockInfo(const Request& request) {
    if (dropped(kCmdSendBlockInfo)) return kDropped;
    if (request.data.size() != kBlockInfoSize) return Response{kCcBadLength, {}};
    const uint8_t* d = request.data.data();
    blocks_.push_back(BlockInfo{bigEndian32(d), bigEndian32(d + 4), bigEndian32(d + 8), d[12], d[13], 0});
    writeAt_ = blocks_.back().startOffset;
    if (blocks_.back().index == 0) {  // a new update begins
        progress_ = 0;
        progressPolls_ = 0;
    }
    return Response{0x00, {}};
}

Response UpdateModule::receiveFWData(const Request& request) {
    if (dropped(kCmdReceiveFWData)) return kDropped;
    if (request.data.empty()) return Response{kCcBadLength, {}};
    const size_t n = request.data.size() - 1;
    for (size_t i = 0; i < n && writeAt_ < flash().size(); ++i) flash()[writeAt_++] = request.data[1 + i];
    if (!blocks_.empty()) blocks_.back().bytesReceived += n;
    const bool last = request.data[0] == kLastChunk;
    if (!last || !knobs.verdict) return Response{0x00, {}};
    const uint8_t part = blocks_.empty() ? 0 : blocks_.back().index;
    if (knobs.verdict->part && *knobs.verdict->part != part) return Response{0x00, {}};
    if (withoutData(kCmdReceiveFWData)) return Response{kCcRejected, {}};
    return Response{kCcRejected, {knobs.verdict->code}};
}

Response UpdateModule::progress(const Request&) {
    if (dropped(kCmdGetFWUpdateProgress)) return kDropped;
    if (withoutData(kCmdGetFWUpdateProgress)) return Response{0x00, {}};
    const uint64_t poll = progressPolls_++;
    if (!knobs.progress.empty()) return Response{0x00, {knobs.progress[std::min(poll, knobs.progress.size() - 1)]}};
    progress_ = static_cast<uint8_t>(std::min<int>(kProgressDone, progress_ + kProgressStep));
    return Response{0x00, {progress_}};
}

}  // namespace korvex::bmc
