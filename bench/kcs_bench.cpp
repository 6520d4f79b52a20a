// What the KCS exchange costs on the simulated machine: port accesses of a
// typical request, exchanges per second of real time, and the real time that
// a 30-second timeout takes.
//   build/bench/kcs_bench
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bmc/sim_machine.h"
#include "platform/hosted/hosted.h"
#include "transport/kcs.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class NullConsole final : public korvex::Console {
public:
    void vprint(const char*, va_list) override { ++lines; }
    void flush() override {}
    int readChar() override { return -1; }
    int lines = 0;
};

struct Machine {
    explicit Machine(const char* fault = nullptr) {
        std::string error;
        if (fault != nullptr && !machine.applyOption(fault, &error)) std::fprintf(stderr, "%s\n", error.c_str());
        machine.bmc.setHandler(0x3E, 0x70, [](const korvex::bmc::Request&) {
            return korvex::bmc::Response{0x00, {0x42}};
        });
        kcs.open();
    }
    NullConsole console;
    korvex::hosted::StdioFileSystem files;
    korvex::hosted::HeapMemory memory;
    korvex::bmc::SimMachine machine{console, files, memory};
    korvex::KcsTransport kcs{machine.platform()};
};

}  // namespace

int main() {
    const std::vector<uint8_t> data(50, 0x5A);
    uint8_t response[125];

    {
        Machine m;
        const int result = m.kcs.exchange(0xF8, 0x70, data.data(), 50, response).value();
        std::printf("50 data bytes out, 1 back: result %d, %llu port accesses\n", result,
                    static_cast<unsigned long long>(m.machine.ports.reads() + m.machine.ports.writes()));
    }
    {
        Machine m;
        const int count = 20000;
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) static_cast<void>(m.kcs.exchange(0xF8, 0x70, data.data(), 50, response));
        const double seconds = secondsSince(start);
        std::printf("%d such exchanges: %.3f s real (%.0f per second)\n", count, seconds, count / seconds);
    }
    {
        Machine m("--bmc-fault=kcs-ibf-stuck");
        const auto start = Clock::now();
        const int result = m.kcs.exchange(0x18, 0x02, nullptr, 0, response).value();
        const double seconds = secondsSince(start);
        std::printf("IBF never clears: result %d after %.3f s virtual, %.3f s real\n", result,
                    static_cast<double>(m.machine.clock.nowUs()) / 1e6, seconds);
    }
    return 0;
}
