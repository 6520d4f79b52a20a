// The KCS exchange against a controller that answers every port read with the
// next input byte (the first byte sets the request length): whatever the
// status and data bytes, the exchange must end, stay inside its buffers and
// report a result it can stand by.
#include "fuzz_support.h"
#include "transport/kcs.h"

namespace {

class InputPorts final : public korvex::PortIo {
public:
    explicit InputPorts(korvex::fuzz::InputReader& input) : input_(input) {}
    uint8_t in8(uint16_t) override { return input_.byte(0x02); }  // then IBF for good
    void out8(uint16_t, uint8_t) override {}

private:
    korvex::fuzz::InputReader& input_;
};

// A timer that fires after a few polls, so that every wait ends quickly.
class QuickTimers final : public korvex::Timers {
public:
    bool create(korvex::TimerId* id) override { return *id = ++open, true; }
    bool armRelative(korvex::TimerId, uint64_t) override { return polls = 0, true; }
    bool fired(korvex::TimerId) override { return ++polls > 16; }
    void cancel(korvex::TimerId) override {}
    void close(korvex::TimerId) override { --open; }
    size_t open = 0;
    unsigned polls = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korvex::fuzz::InputReader input(data, size);
    const int32_t requestLength = input.byte() % 63;
    InputPorts ports(input);
    QuickTimers timers;
    korvex::fuzz::SimPlatform sim;
    const korvex::Platform p = sim.machine.platform();  // for all but the ports and timers
    korvex::KcsTransport kcs(korvex::Platform{ports, timers, p.stall, p.console, p.files, p.memory, p.stops});
    kcs.open();
    uint8_t request[62], response[125 + 16];
    std::memset(request, 0xA5, sizeof request);
    std::memset(response, 0xEE, sizeof response);
    const korvex::ExchangeResult result =
        kcs.exchange(korvex::kNetFnLunOem, korvex::kCmdConfigTransfer, request, requestLength, response);
    if ((result.answered() && (result.length < 0 || result.length > 125)) ||
        (!result.answered() && result.value() != -1))
        std::abort();
    for (size_t i = 125; i < sizeof response; ++i)
        if (response[i] != 0xEE) std::abort();
    if (timers.open != 0) std::abort();
    return 0;
}
