#include "bmc/app_module.h"

namespace korvex::bmc {

namespace {
constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint8_t kCmdColdReset = 0x02;
}  // namespace

void AppModule::install(SimBmc& bmc) {
    bmc.setHandler(kNetFnApp, kCmdGetDeviceId, [](const Request&) {
        // Device ID 0x20, revision 1, firmware 2.10, IPMI 2.0, no SDRs.
        return Response{0x00, {0x20, 0x01, 0x02, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
    });
    bmc.setHandler(kNetFnApp, kCmdColdReset, [&bmc](const Request&) {
        bmc.noteColdReset();
        return Response{0x00, {}};
    });
}

}  // namespace korvex::bmc
