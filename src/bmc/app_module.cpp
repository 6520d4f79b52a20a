#include "bmc/app_module.h"

namespace korvex::bmc {

namespace {

// A request that carries no data; anything else is refused for its length.
template <typename F>
Handler noData(F answer) {
    return [answer](const Request& r) { return r.data.empty() ? answer() : Response{kCcBadLength, {}}; };
}
}  // namespace

void AppModule::install(SimBmc& bmc) {
    bmc.setHandler(kNetFnApp, kCmdGetDeviceId, [](const Request&) {
        // Device ID 0x20, revision 1, firmware 2.10, IPMI 2.0, no SDRs.
        return Response{0x00, {0x20, 0x01, 0x02, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
    });
    bmc.setHandler(kNetFnApp, kCmdColdReset, [this, &bmc](const Request&) {
        bmc.noteColdReset();
        // A cold reset restores the power-up enables: the interrupt goes off.
        globalEnables_ = kDefaultEnables;
        messageFlags_ = 0;
        return Response{0x00, {}};
    });
    bmc.setHandler(kNetFnApp, kCmdSetBmcGlobalEnables, [this](const Request& r) { return setGlobalEnables(r); });
    bmc.setHandler(kNetFnApp, kCmdGetBmcGlobalEnables, noData([this] { return Response{0x00, {globalEnables_}}; }));
    bmc.setHandler(kNetFnApp, kCmdClearMessageFlags, [this](const Request& r) { return clearMessageFlags(r); });
    bmc.setHandler(kNetFnApp, kCmdGetMessageFlags, noData([this] { return Response{0x00, {messageFlags_}}; }));
}

Response AppModule::setGlobalEnables(const Request& request) {
    if (request.data.size() != 1) return Response{kCcBadLength, {}};
    // Enabling what is not there is refused, and nothing changes.
    if ((request.data[0] & ~kSupportedEnables) != 0) return Response{kCcInvalidDataField, {}};
    globalEnables_ = request.data[0];
    return Response{0x00, {}};
}

Response AppModule::clearMessageFlags(const Request& request) {
    if (request.data.size() != 1) return Response{kCcBadLength, {}};
    messageFlags_ = static_cast<uint8_t>(messageFlags_ & ~request.data[0]);
    return Response{0x00, {}};
}

}  // namespace korvex::bmc
