#include "bmc/sim_bmc.h"

#include <fstream>

#include "bmc/app_module.h"
#include "bmc/config_module.h"
#include "bmc/dump_module.h"
#include "bmc/knobs.h"
#include "bmc/update_module.h"

namespace korvex::bmc {

// A completion code forced onto one request: every time (nth == 0) or only
// on its n-th occurrence.
struct SimBmc::Fault {
    uint8_t netFn;
    uint8_t command;
    uint8_t code;
    uint64_t nth;
    bool keepData;
};

SimBmc::SimBmc() {
    modules_.push_back(std::make_unique<AppModule>());
    modules_.push_back(std::make_unique<UpdateModule>());
    modules_.push_back(std::make_unique<DumpModule>());
    modules_.push_back(std::make_unique<ConfigModule>());
    for (auto& m : modules_) m->install(*this);
}

SimBmc::~SimBmc() = default;

SimBmc::Entry* SimBmc::find(uint8_t netFn, uint8_t command) {
    for (Entry& e : entries_)
        if (e.netFn == netFn && e.command == command) return &e;
    return nullptr;
}

const SimBmc::Entry* SimBmc::find(uint8_t netFn, uint8_t command) const {
    return const_cast<SimBmc*>(this)->find(netFn, command);
}

void SimBmc::setHandler(uint8_t netFn, uint8_t command, Handler handler) {
    if (Entry* e = find(netFn, command)) {
        e->handler = std::move(handler);
        return;
    }
    entries_.push_back(Entry{netFn, command, std::move(handler), 0});
}

uint64_t SimBmc::count(uint8_t netFn, uint8_t command) const {
    const Entry* e = find(netFn, command);
    return e != nullptr ? e->count : 0;
}

Response SimBmc::handle(const Request& request) {
    ++exchanges_;
    if (keepLog_) log_.push_back(request);
    if (onRequest_) onRequest_(request);
    Entry* e = find(request.netFn, request.command);
    if (e == nullptr) return Response{kCcInvalidCommand, {}};
    const uint64_t occurrence = ++e->count;
    for (const Fault& f : faults_) {
        if (f.netFn != request.netFn || f.command != request.command || (f.nth != 0 && f.nth != occurrence)) continue;
        if (!f.keepData) return Response{f.code, {}};
        Response r = e->handler(request);
        r.completionCode = f.code;
        return r;
    }
    return e->handler(request);
}

void SimBmc::forceCompletionCode(uint8_t netFn, uint8_t command, uint8_t code, uint64_t nth, bool keepData) {
    faults_.push_back(Fault{netFn, command, code, nth, keepData});
}

bool SimBmc::applyOption(std::string_view option, std::string* error) {
    return applyKnob(KnobTarget{*this, nullptr}, option, error);
}

bool SimBmc::finish(std::string* error) {
    bool ok = true;
    for (auto& m : modules_) ok = m->finish(error) && ok;
    if (saveFlashTo.empty()) return ok;
    std::ofstream out(saveFlashTo, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash().data()), static_cast<std::streamsize>(flash().size()));
    out.close();
    if (out) return ok;
    *error = "cannot write the flash into " + saveFlashTo;
    return false;
}

}  // namespace korvex::bmc
