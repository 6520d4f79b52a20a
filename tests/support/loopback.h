// A transport that hands each request straight to the simulated BMC's
// handlers, without the KCS registers: for testing a job's requests and
// messages on their own.
#pragma once

#include <algorithm>
#include <cstring>

#include "bmc/sim_bmc.h"
#include "transport/transport.h"

namespace korvex::test {

class LoopbackTransport final : public Transport {
public:
    explicit LoopbackTransport(bmc::SimBmc& bmc) : bmc_(bmc) {}
    int open() override {
        ++opens;
        return failOpen ? -1 : 0;
    }
    int close() override {
        ++closes;
        return 0;
    }
    ExchangeResult exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData, int32_t requestLength,
                            uint8_t* responseData) override {
        bmc::Request request;
        request.netFn = netFnLun >> 2;
        request.lun = netFnLun & 3;
        request.command = command;
        if (requestLength > 0) request.data.assign(requestData, requestData + requestLength);
        bmc::Response response = bmc_.handle(request);
        // A dropped answer is an exchange that fails while reading it.
        if (response.dropExchange) return ExchangeResult::readFailure();
        size_t n = std::min<size_t>(response.data.size(), 125);
        if (n > 0) std::memcpy(responseData, response.data.data(), n);
        return ExchangeResult::answer(response.completionCode, static_cast<int32_t>(n));
    }
    int opens = 0;
    int closes = 0;
    bool failOpen = false;

private:
    bmc::SimBmc& bmc_;
};

}  // namespace korvex::test
