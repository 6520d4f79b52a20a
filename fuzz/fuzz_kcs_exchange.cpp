// The KCS exchange against a controller that answers every port read with
// the next input byte (the first byte chooses the request length): whatever the status and data bytes, the exchange
// must end, stay inside its buffers and report a result it can stand by.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "transport/kcs.h"

namespace {

class InputPorts final : public korvex::PortIo {
public:
    InputPorts(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t in8(uint16_t) override { return pos_ < size_ ? data_[pos_++] : 0x02; }  // then IBF for good
    void out8(uint16_t, uint8_t) override {}

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A timer that fires after a few polls, so that every wait ends quickly.
class QuickTimers final : public korvex::Timers {
public:
    bool create(korvex::TimerId* id) override {
        *id = ++open_;
        return true;
    }
    bool armRelative(korvex::TimerId, uint64_t) override {
        polls_ = 0;
        return true;
    }
    bool fired(korvex::TimerId) override { return ++polls_ > 16; }
    void cancel(korvex::TimerId) override {}
    void close(korvex::TimerId) override { --open_; }
    size_t open_ = 0;

private:
    unsigned polls_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int32_t requestLength = size > 0 ? data[0] % 63 : 0;
    InputPorts ports(size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0);
    QuickTimers timers;
    korvex::fuzz::SimPlatform sim;  // for all but the ports and timers
    korvex::KcsTransport kcs(korvex::Platform{ports, timers, sim.stall, sim.console, sim.files, sim.memory, sim.stops});
    kcs.open();

    uint8_t request[62];
    std::memset(request, 0xA5, sizeof request);
    uint8_t response[125 + 16];
    std::memset(response, 0xEE, sizeof response);
    const korvex::ExchangeResult result =
        kcs.exchange(korvex::kNetFnLunOem, korvex::kCmdConfigTransfer, request, requestLength, response);

    if (result.answered() && (result.length < 0 || result.length > 125)) std::abort();
    if (!result.answered() && result.value() != -1) std::abort();
    for (size_t i = 125; i < sizeof response; ++i)
        if (response[i] != 0xEE) std::abort();
    if (timers.open_ != 0) std::abort();
    return 0;
}
