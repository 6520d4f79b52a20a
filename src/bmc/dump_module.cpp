#include "bmc/dump_module.h"

#include <algorithm>

namespace korvex::bmc {

namespace {
constexpr uint8_t kCmdPrepareDumpFlash = 0x1D;
constexpr uint8_t kCmdCheckDumpFlashComplete = 0x1E;
constexpr uint8_t kCmdGetDumpFlashData = 0x1F;

bool parseCount(std::string_view text, std::string_view name, uint64_t* value, std::string* error) {
    if (parseKnobNumber(text, value)) return true;
    *error = std::string(name) + " wants a number";
    return false;
}
}  // namespace

void DumpModule::install(SimBmc& bmc) {
    bmc_ = &bmc;
    bmc.setHandler(kNetFnOem, kCmdPrepareDumpFlash, [this](const Request&) { return prepare(); });
    bmc.setHandler(kNetFnOem, kCmdCheckDumpFlashComplete, [this](const Request&) { return checkComplete(); });
    bmc.setHandler(kNetFnOem, kCmdGetDumpFlashData, [this](const Request&) { return getData(); });
}

uint64_t DumpModule::announcedLength() const { return lengthSet_ ? length_ : SimBmc::kFlashSize; }

uint64_t DumpModule::servedLength() const {
    return std::min<uint64_t>(sendSet_ ? send_ : announcedLength(), SimBmc::kFlashSize);
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
    const bool ready = !neverReady_ && polls_++ >= readyAfter_;
    Response r{0x00,
               {static_cast<uint8_t>(ready ? 1 : 0), static_cast<uint8_t>(length >> 24),
                static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}};
    if (ready && readyShort_) r.data.resize(1);
    return r;
}

Response DumpModule::getData() {
    const uint64_t k = ++pieceRequests_;
    if (k == noDataAt_) return Response{0x00, {}};
    const uint64_t remaining = servedLength() - offset_;
    const bool last = remaining < kPieceSize;
    const size_t count = last ? static_cast<size_t>(remaining) : kPieceSize;
    Response r{0x00, {static_cast<uint8_t>(last ? 1 : 0)}};
    const auto from = bmc_->flash().begin() + static_cast<std::ptrdiff_t>(offset_);
    r.data.insert(r.data.end(), from, from + static_cast<std::ptrdiff_t>(count));
    offset_ += count;
    if (last) offset_ = 0;  // the dump is over; a new one starts from the beginning
    if (k == shortAt_ && !last) r.data.resize(r.data.size() - 1);
    if (k == dropAt_) r.dropExchange = true;  // served, then lost on the way
    return r;
}

KnobResult DumpModule::setFault(std::string_view value, std::string* error) {
    if (value == "dump-never-ready") {
        neverReady_ = true;
        return KnobResult::Ok;
    }
    if (value == "dump-ready-short") {
        readyShort_ = true;
        return KnobResult::Ok;
    }
    struct AtFault {
        std::string_view prefix;
        uint64_t* at;
    };
    for (const AtFault& f : {AtFault{"dump-drop:", &dropAt_}, AtFault{"dump-no-data:", &noDataAt_},
                             AtFault{"dump-short:", &shortAt_}}) {
        if (value.substr(0, f.prefix.size()) != f.prefix) continue;
        if (!parseCount(value.substr(f.prefix.size()), f.prefix, f.at, error) || *f.at == 0) {
            *error = std::string(f.prefix) + "K wants a piece number from 1";
            return KnobResult::Bad;
        }
        return KnobResult::Ok;
    }
    return KnobResult::NotMine;
}

KnobResult DumpModule::setKnob(std::string_view name, std::string_view value, std::string* error) {
    if (name == "fault") return setFault(value, error);
    uint64_t* target = nullptr;
    if (name == "dump-ready-after") target = &readyAfter_;
    if (name == "dump-length") {
        target = &length_;
        lengthSet_ = true;
    }
    if (name == "dump-send") {
        target = &send_;
        sendSet_ = true;
    }
    if (target == nullptr) return KnobResult::NotMine;
    if (!parseCount(value, name, target, error)) return KnobResult::Bad;
    if (name == "dump-length" && length_ > 0xFFFFFFFFu) {
        *error = "the length must fit 32 bits";
        return KnobResult::Bad;
    }
    return KnobResult::Ok;
}

std::string DumpModule::knobHelp() const {
    return "  --bmc-dump-ready-after=N\n"
           "                         the dump is ready at the (N+1)-th readiness poll (default 0)\n"
           "  --bmc-dump-length=N    the dump length announced (default: the flash size)\n"
           "  --bmc-dump-send=N      bytes of the flash actually sent (default: the announced\n"
           "                         length, at most the flash size)\n"
           "  --bmc-fault=dump-never-ready    the dump never gets ready\n"
           "  --bmc-fault=dump-ready-short    the ready answer carries no length\n"
           "  --bmc-fault=dump-drop:K         the K-th piece is served, then its exchange breaks\n"
           "  --bmc-fault=dump-no-data:K      the K-th piece request gets an answer without data\n"
           "  --bmc-fault=dump-short:K        the K-th piece is a full piece one byte short\n"
           "                         (K counts the piece requests from 1)\n";
}

}  // namespace korvex::bmc
