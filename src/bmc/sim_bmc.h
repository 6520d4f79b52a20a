// The simulated BMC, at the message level: one handler per NetFn and command,
// behind whatever carries the bytes (the KCS register model of korvex-sim, or
// the external-BMC socket of korvex-bmcd). It is not part of the tool.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/protocol.h"

namespace korvex::bmc {

struct Request {
    uint8_t netFn = 0;
    uint8_t lun = 0;
    uint8_t command = 0;
    std::vector<uint8_t> data;
};

struct Response {
    uint8_t completionCode = 0;
    std::vector<uint8_t> data;
    // The exchange breaks down instead of answering: whatever carries the
    // bytes makes the tool's exchange fail (the KCS device goes to its
    // error state).
    bool dropExchange = false;
};

class SimBmc;

// A part of the BMC: its handlers, and what it saves when the run ends. The
// knobs that steer it are in bmc/knobs.h.
class BmcModule {
public:
    virtual ~BmcModule() = default;
    virtual void install(SimBmc& bmc) = 0;
    // When the run ends: saves what the knobs asked to be saved.
    virtual bool finish(std::string* error) {
        (void)error;
        return true;
    }
};

using Handler = std::function<Response(const Request&)>;

class SimBmc {
public:
    SimBmc();
    ~SimBmc();
    SimBmc(const SimBmc&) = delete;
    SimBmc& operator=(const SimBmc&) = delete;

    void setHandler(uint8_t netFn, uint8_t command, Handler handler);
    // Answers one request; unknown requests get 0xC1, as a real BMC answers them.
    Response handle(const Request& request);

    // "--bmc-NAME=VALUE" (bmc/knobs.h); false with *error set when it is not understood.
    bool applyOption(std::string_view option, std::string* error);
    bool finish(std::string* error);

    // Answers the n-th request with this NetFn and command (every one: n 0)
    // with completion code code: without data and unhandled, or handled as
    // usual and with its data when keepData is set.
    void forceCompletionCode(uint8_t netFn, uint8_t command, uint8_t code, uint64_t nth, bool keepData);
    // Where the flash goes when the run ends; empty: nowhere.
    std::string saveFlashTo;

    uint64_t exchanges() const { return exchanges_; }
    // Requests answered so far with this NetFn and command.
    uint64_t count(uint8_t netFn, uint8_t command) const;
    // Every request seen, in order (for tests).
    const std::vector<Request>& log() const { return log_; }
    void keepLog(bool on) { keepLog_ = on; }
    // Called with every request as it arrives, before it is answered: where a
    // test or korvex-sim makes something happen to the tool at a set request.
    void onRequest(std::function<void(const Request&)> hook) { onRequest_ = std::move(hook); }
    uint64_t coldResets() const { return coldResets_; }
    void noteColdReset() { ++coldResets_; }

    // The BMC's flash, 32 MiB, erased (0xFF) until written; allocated on first use.
    std::vector<uint8_t>& flash() {
        if (flash_.empty()) flash_.assign(flashSize_, 0xFF);
        return flash_;
    }
    bool flashInUse() const { return !flash_.empty(); }
    // Only the start of the flash, for tests that run a job hundreds of times
    // and never look further: what would go beyond it is dropped.
    void shortenFlash(size_t bytes) { flashSize_ = bytes; }
    size_t flashSize() const { return flashSize_; }

    template <typename T>
    T* module() const {
        for (const auto& m : modules_)
            if (auto* p = dynamic_cast<T*>(m.get())) return p;
        return nullptr;
    }

private:
    struct Fault;
    struct Entry {
        uint8_t netFn;
        uint8_t command;
        Handler handler;
        uint64_t count;
    };
    Entry* find(uint8_t netFn, uint8_t command);
    const Entry* find(uint8_t netFn, uint8_t command) const;

    std::vector<std::unique_ptr<BmcModule>> modules_;
    std::vector<Entry> entries_;
    std::vector<Fault> faults_;
    size_t flashSize_ = kFlashSize;
    std::vector<Request> log_;
    bool keepLog_ = false;
    std::function<void(const Request&)> onRequest_;
    uint64_t exchanges_ = 0;
    uint64_t coldResets_ = 0;
    std::vector<uint8_t> flash_;
};

}  // namespace korvex::bmc
