#include "bmc/sim_bmc.h"

#include "bmc/app_module.h"
#include "bmc/config_module.h"
#include "bmc/dump_module.h"
#include "bmc/update_module.h"
#include "platform/hosted/number.h"

namespace korvex::bmc {

// A completion code forced onto one request: every time (nth == 0) or only
// on its n-th occurrence.
struct SimBmc::Fault {
    uint8_t netFn;
    uint8_t command;
    uint8_t code;
    uint64_t nth;
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
    for (const Fault& f : faults_)
        if (f.netFn == request.netFn && f.command == request.command && (f.nth == 0 || f.nth == occurrence))
            return Response{f.code, {}};
    return e->handler(request);
}

bool parseKnobNumber(std::string_view text, uint64_t* value) { return hosted::parseNumber(text, value); }

bool parseKnobNumbers(std::string_view text, std::vector<uint64_t>* out) {
    out->clear();
    for (;;) {
        const size_t colon = text.find(':');
        uint64_t v = 0;
        if (!parseKnobNumber(text.substr(0, colon), &v)) return false;
        out->push_back(v);
        if (colon == std::string_view::npos) return true;
        text.remove_prefix(colon + 1);
    }
}

KnobResult SimBmc::setCompletionCodeFault(std::string_view value, std::string* error) {
    // cc:NETFN:CMD:CODE[:N]
    if (value.substr(0, 3) != "cc:") return KnobResult::NotMine;
    std::vector<uint64_t> f;
    if (!parseKnobNumbers(value.substr(3), &f) || f.size() < 3 || f.size() > 4 || f[0] > 0x3F || f[1] > 0xFF ||
        f[2] > 0xFF) {
        *error = "fault cc wants NETFN:CMD:CODE[:N], e.g. cc:0x3e:0x16:0xc1 or cc:0x3e:0x15:0xc0:3";
        return KnobResult::Bad;
    }
    faults_.push_back(Fault{static_cast<uint8_t>(f[0]), static_cast<uint8_t>(f[1]), static_cast<uint8_t>(f[2]),
                            f.size() == 4 ? f[3] : 0});
    return KnobResult::Ok;
}

bool SimBmc::applyOption(std::string_view option, std::string* error) {
    if (option.substr(0, 6) != "--bmc-") {
        *error = "not a BMC option: " + std::string(option);
        return false;
    }
    option.remove_prefix(6);
    size_t eq = option.find('=');
    std::string_view name = option.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view() : option.substr(eq + 1);
    KnobResult r = KnobResult::NotMine;
    if (name == "fault") r = setCompletionCodeFault(value, error);
    for (auto it = modules_.begin(); r == KnobResult::NotMine && it != modules_.end(); ++it)
        r = (*it)->setKnob(name, value, error);
    if (r == KnobResult::NotMine) {
        *error = "unknown BMC option: --bmc-" + std::string(option);
        return false;
    }
    if (r == KnobResult::Bad) {
        *error = "--bmc-" + std::string(option) + ": " + *error;
        return false;
    }
    return true;
}

std::string SimBmc::optionHelp() const {
    std::string help =
        "  --bmc-fault=cc:NETFN:CMD:CODE[:N]\n"
        "                         answer that request with completion code CODE, every\n"
        "                         time or only its N-th time\n";
    for (const auto& m : modules_) help += m->knobHelp();
    return help;
}

bool SimBmc::finish(std::string* error) {
    bool ok = true;
    for (auto& m : modules_) ok = m->finish(error) && ok;
    return ok;
}

}  // namespace korvex::bmc
