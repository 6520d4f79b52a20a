#include "bmc/dump_module.h"

#include <algorithm>

namespace korvex::bmc {

void DumpModule::install(SimBmc& bmc) {
    bmc_ = &bmc;
    bmc.setHandler(kNetFnOem, kCmdPrepareDumpFlash, [this](const Request&) { return prepare(); });
    bmc.setHandler(kNetFnOem, kCmdCheckDumpFlashComplete, [this](const Request&) { return checkComplete(); });
    bmc.setHandler(kNetFnOem, kCmdGetDumpFlashData, [this](const Request&) { return getData(); });
}

uint64_t DumpModule::announcedLength() const { return knobs.length.value_or(kFlashSize); }

uint64_t DumpModule::servedLength() const {
    return std::min<uint64_t>(knobs.send.value_or(announcedLength()), bmc_->flashSize());
}

Response DumpModule::prepare() {
    polls_ = 0;
    offset_ = 0;
    pieceRequests_ = 0;
    return Response{0x00, {}};
}

Response DumpModule::checkComplete() {
    const uint64_t length = announcedLength();
    // A BMC that refused the prepare request still stages its flash here, so
    // that the host's carrying on can be watched to the end.
    const bool ready = !knobs.neverReady && polls_++ >= knobs.readyAfter;
    Response r{0x00,
               {ready ? kDumpReady : knobs.notReadyByte, static_cast<uint8_t>(length >> 24),
                static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}};
    if (ready && knobs.readyBytes != 0) r.data.resize(knobs.readyBytes);
    return r;
}

Response DumpModule::getData() {
    const uint64_t k = ++pieceRequests_;
    if (k == knobs.noDataAt) return Response{0x00, {}};
    const uint64_t remaining = servedLength() - offset_;
    const bool last = remaining < kDumpPieceSize;
    const size_t count = last ? static_cast<size_t>(remaining) : kDumpPieceSize;
    Response r{0x00, {last ? knobs.lastFlag : uint8_t{0}}};
    const auto from = bmc_->flash().begin() + static_cast<std::ptrdiff_t>(offset_);
    r.data.insert(r.data.end(), from, from + static_cast<std::ptrdiff_t>(count));
    offset_ += count;
    if (last) offset_ = 0;  // the dump is over; a new one starts from the beginning
    if (k == knobs.shortAt && !last) r.data.resize(r.data.size() - 1);
    if (k == knobs.dropAt) r.dropExchange = true;  // served, then lost on the way
    return r;
}

}  // namespace korvex::bmc
