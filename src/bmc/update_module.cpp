#include "bmc/update_module.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace korvex::bmc {

namespace {
constexpr uint8_t kCcRejected = 0xCD;
constexpr uint8_t kCcBadLength = 0xC7;
constexpr uint8_t kProgressStep = 25;
constexpr size_t kBlockInfoSize = 14;
// A broken exchange; where a carrier does not break it, 0xFF is the closest
// answer: the low byte the tool reads from a failed exchange.
const Response kDropped{0xFF, {}, true};

uint32_t bigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

bool isUpdateCommand(uint64_t command) {
    return command == UpdateModule::kCmdUsbUpdateInfo ||
           (command >= UpdateModule::kCmdSendBlockInfo && command <= UpdateModule::kCmdGetFWUpdateProgress);
}
}  // namespace

UpdateModule::UpdateModule() = default;

void UpdateModule::install(SimBmc& bmc) {
    bmc_ = &bmc;
    bmc.setHandler(kNetFnOem, kCmdGetFWUpdateInfo, [this](const Request& r) { return updateInfo(r, kCmdGetFWUpdateInfo); });
    bmc.setHandler(kNetFnOem, kCmdUsbUpdateInfo, [this](const Request& r) { return updateInfo(r, kCmdUsbUpdateInfo); });
    bmc.setHandler(kNetFnOem, kCmdSendBlockInfo, [this](const Request& r) { return sendBlockInfo(r); });
    bmc.setHandler(kNetFnOem, kCmdReceiveFWData, [this](const Request& r) { return receiveFWData(r); });
    bmc.setHandler(kNetFnOem, kCmdGetFWUpdateProgress, [this](const Request& r) { return progress(r); });
}

bool UpdateModule::dropped(uint8_t command) const {
    const uint64_t occurrence = bmc_->count(kNetFnOem, command);
    return std::any_of(drops_.begin(), drops_.end(),
                       [&](const Drop& d) { return d.command == command && (d.nth == 0 || d.nth == occurrence); });
}

bool UpdateModule::withoutData(uint8_t command) const {
    return std::find(noData_.begin(), noData_.end(), command) != noData_.end();
}

Response UpdateModule::updateInfo(const Request& request, uint8_t command) {
    if (dropped(command)) return kDropped;
    if (request.data.size() != 1) return Response{kCcBadLength, {}};
    preserveFlags_.push_back(request.data[0]);
    if (withoutData(command)) return Response{0x00, {}};
    return Response{0x00, {updateState_}};
}

Response UpdateModule::sendBlockInfo(const Request& request) {
    if (dropped(kCmdSendBlockInfo)) return kDropped;
    if (request.data.size() != kBlockInfoSize) return Response{kCcBadLength, {}};
    const uint8_t* d = request.data.data();
    blocks_.push_back(BlockInfo{bigEndian32(d), bigEndian32(d + 4), bigEndian32(d + 8), d[12], d[13], 0});
    writeAt_ = blocks_.back().startOffset;
    if (blocks_.back().index == 0) progress_ = 0;  // a new update begins
    return Response{0x00, {}};
}

Response UpdateModule::receiveFWData(const Request& request) {
    if (dropped(kCmdReceiveFWData)) return kDropped;
    if (request.data.empty()) return Response{kCcBadLength, {}};
    const size_t n = request.data.size() - 1;
    for (size_t i = 0; i < n && writeAt_ < kFlashSize; ++i) flash()[writeAt_++] = request.data[1 + i];
    if (!blocks_.empty()) blocks_.back().bytesReceived += n;
    const bool last = request.data[0] == 1;
    if (!last || !verdict_) return Response{0x00, {}};
    const uint8_t part = blocks_.empty() ? 0 : blocks_.back().index;
    if (verdict_->part && *verdict_->part != part) return Response{0x00, {}};
    if (withoutData(kCmdReceiveFWData)) return Response{kCcRejected, {}};
    return Response{kCcRejected, {verdict_->code}};
}

Response UpdateModule::progress(const Request&) {
    if (dropped(kCmdGetFWUpdateProgress)) return kDropped;
    if (withoutData(kCmdGetFWUpdateProgress)) return Response{0x00, {}};
    if (stuckProgress_) return Response{0x00, {*stuckProgress_}};
    progress_ = static_cast<uint8_t>(std::min<int>(100, progress_ + kProgressStep));
    return Response{0x00, {progress_}};
}

KnobResult UpdateModule::setFault(std::string_view value, std::string* error) {
    const size_t colon = value.find(':');
    const std::string_view kind = value.substr(0, colon);
    const std::string_view rest = colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
    std::vector<uint64_t> n;
    if (kind == "drop") {
        if (!parseKnobNumbers(rest, &n) || n.size() > 2 || !isUpdateCommand(n[0])) {
            *error = "fault drop wants CMD[:N] with CMD one of 0x0d 0x14 0x15 0x16 0x17";
            return KnobResult::Bad;
        }
        drops_.push_back(Drop{static_cast<uint8_t>(n[0]), n.size() == 2 ? n[1] : 0});
        return KnobResult::Ok;
    }
    if (kind == "verdict") {
        if (!parseKnobNumbers(rest, &n) || n.size() > 2 || n[0] > 0xFF || (n.size() == 2 && n[1] > 0xFF)) {
            *error = "fault verdict wants CODE[:PART], e.g. verdict:1 or verdict:2:1";
            return KnobResult::Bad;
        }
        verdict_ = Verdict{static_cast<uint8_t>(n[0]),
                           n.size() == 2 ? std::optional<uint8_t>(static_cast<uint8_t>(n[1])) : std::nullopt};
        return KnobResult::Ok;
    }
    if (kind == "progress") {
        if (!parseKnobNumbers(rest, &n) || n.size() != 1 || n[0] > 0xFF) {
            *error = "fault progress wants one value 0-255";
            return KnobResult::Bad;
        }
        stuckProgress_ = static_cast<uint8_t>(n[0]);
        return KnobResult::Ok;
    }
    if (kind == "nodata") {
        if (!parseKnobNumbers(rest, &n) || n.size() != 1 || !isUpdateCommand(n[0]) || n[0] == kCmdSendBlockInfo) {
            *error = "fault nodata wants one of 0x0d 0x15 0x16 0x17";
            return KnobResult::Bad;
        }
        noData_.push_back(static_cast<uint8_t>(n[0]));
        return KnobResult::Ok;
    }
    return KnobResult::NotMine;
}

KnobResult UpdateModule::setKnob(std::string_view name, std::string_view value, std::string* error) {
    if (name == "fault") return setFault(value, error);
    if (name == "update-state") {
        uint64_t v = 0;
        if (!parseKnobNumber(value, &v) || v > 0xFF) {
            *error = "wants a value 0-255";
            return KnobResult::Bad;
        }
        updateState_ = static_cast<uint8_t>(v);
        return KnobResult::Ok;
    }
    if (name == "flash") {
        std::ifstream in{std::string(value), std::ios::binary};
        if (!in) {
            *error = "cannot read " + std::string(value);
            return KnobResult::Bad;
        }
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (bytes.size() > kFlashSize) {
            *error = std::string(value) + " is larger than the 32 MiB flash";
            return KnobResult::Bad;
        }
        std::fill(flash().begin(), flash().end(), 0xFF);
        std::copy(bytes.begin(), bytes.end(), flash().begin());
        return KnobResult::Ok;
    }
    if (name == "save-flash") {
        if (value.empty()) {
            *error = "wants a file name";
            return KnobResult::Bad;
        }
        saveFlashPath_ = value;
        return KnobResult::Ok;
    }
    return KnobResult::NotMine;
}

std::string UpdateModule::knobHelp() const {
    return "  --bmc-update-state=N   update state in the update-info answers (default 2)\n"
           "  --bmc-flash=FILE       initial flash contents (default: all 0xFF)\n"
           "  --bmc-save-flash=FILE  write the 32 MiB flash into FILE when the run ends\n"
           "  --bmc-fault=drop:CMD[:N]\n"
           "                         break the exchange of update command CMD (0x0d, 0x14-0x17),\n"
           "                         every time or only its N-th time\n"
           "  --bmc-fault=verdict:CODE[:PART]\n"
           "                         reject the last chunk (of every part, or of part PART)\n"
           "                         with completion code 0xCD and verdict CODE\n"
           "  --bmc-fault=progress:P answer every progress request with P\n"
           "  --bmc-fault=nodata:CMD answer CMD (0x0d, 0x15, 0x16, 0x17) without its data byte\n";
}

bool UpdateModule::finish(std::string* error) {
    if (saveFlashPath_.empty()) return true;
    std::ofstream out(saveFlashPath_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash().data()), static_cast<std::streamsize>(flash().size()));
    out.close();
    if (!out) {
        *error = "cannot write the flash into " + saveFlashPath_;
        return false;
    }
    return true;
}

}  // namespace korvex::bmc
