#include "bmc/knobs.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "bmc/config_module.h"
#include "bmc/dump_module.h"
#include "bmc/kcs_device.h"
#include "bmc/update_module.h"
#include "platform/hosted/number.h"
#include "transport/kcs.h"

namespace korvex::bmc {

namespace {

// The longest answer data an exchange delivers; a backup block answer also
// carries the status byte and a 24-bit block number.
constexpr uint64_t kMaxAnswerData = kcs::kReplyStoreSize - 3;
constexpr uint64_t kMaxBackupBlock = kMaxAnswerData - 4;

// Request groups a REQUEST argument may be limited to.
enum RequestGroup : uint8_t { kAnyRequest = 1, kUpdateRequest = 2, kUpdateAnswerData = 4 };

struct RequestName {
    std::string_view name;
    uint8_t netFn;
    uint8_t command;
    uint8_t groups;
};

constexpr uint8_t kUpdateWithData = kAnyRequest | kUpdateRequest | kUpdateAnswerData;

// Every request the BMC answers, by name: the request's name in lower case,
// a hyphen between its words.
constexpr RequestName kRequests[] = {
    {"get-device-id", kNetFnApp, kCmdGetDeviceId, kAnyRequest},
    {"cold-reset", kNetFnApp, kCmdColdReset, kAnyRequest},
    {"set-bmc-global-enables", kNetFnApp, kCmdSetBmcGlobalEnables, kAnyRequest},
    {"get-bmc-global-enables", kNetFnApp, kCmdGetBmcGlobalEnables, kAnyRequest},
    {"clear-message-flags", kNetFnApp, kCmdClearMessageFlags, kAnyRequest},
    {"get-message-flags", kNetFnApp, kCmdGetMessageFlags, kAnyRequest},
    {"get-fw-update-info", kNetFnOem, kCmdGetFWUpdateInfo, kUpdateWithData},
    {"usb-update-info", kNetFnOem, kCmdUsbUpdateInfo, kUpdateWithData},
    {"send-block-info", kNetFnOem, kCmdSendBlockInfo, kAnyRequest | kUpdateRequest},
    {"receive-fw-data", kNetFnOem, kCmdReceiveFWData, kUpdateWithData},
    {"get-fw-update-progress", kNetFnOem, kCmdGetFWUpdateProgress, kUpdateWithData},
    {"prepare-dump-flash", kNetFnOem, kCmdPrepareDumpFlash, kAnyRequest},
    {"check-dump-flash-complete", kNetFnOem, kCmdCheckDumpFlashComplete, kAnyRequest},
    {"get-dump-flash-data", kNetFnOem, kCmdGetDumpFlashData, kAnyRequest},
    {"config-transfer", kNetFnOem, kCmdConfigTransfer, kAnyRequest},
};

// The configuration transfer's answers, in the order of ConfigModule::Answer.
constexpr std::string_view kAnswers[] = {"reset", "start", "status", "block", "finish"};

enum class ArgKind : uint8_t {
    None,     // no argument here
    Number,   // min to max
    Bytes,    // one or more numbers from min to max; the last argument
    Request,  // a request's name, of the groups in requests
    Answer,   // a configuration answer's name
    File,     // a file to read, at most max bytes
    Path,     // a file to write when the run ends
};

struct Arg {
    ArgKind kind = ArgKind::None;
    const char* name = "";
    uint64_t min = 0;
    uint64_t max = UINT64_MAX;
    uint8_t requests = kAnyRequest;
};

// The arguments as given: one value per argument (a number, or a request's
// or answer's index in its table), and the list, file or name it carried.
struct Values {
    uint64_t at[3] = {};
    size_t given = 0;
    std::vector<uint8_t> bytes;  // Bytes: the numbers; File: the contents
    std::string text;            // Path
    uint64_t optional(size_t i) const { return i < given ? at[i] : 0; }
};

// nullptr, or why the values cannot be taken.
using Effect = const char* (*)(const KnobTarget& target, const Values& values);

struct Knob {
    std::string_view name;
    Arg args[3];
    size_t required;  // the arguments that must be given; the others are optional, in order
    const char* help;
    Effect apply;
    bool onKcs = false;  // acts on the KCS controller
};

// Arguments shared by many knobs: an occurrence (of a request, an answer, a
// piece or a block), always counted from 1.
constexpr Arg kN{ArgKind::Number, "N", 1};
constexpr Arg kK{ArgKind::Number, "K", 1};
constexpr Arg kByte{ArgKind::Number, "BYTE", 0, 0xFF};
constexpr Arg kCode{ArgKind::Number, "CODE", 0, 0xFF};
constexpr Arg kAnyRequestArg{ArgKind::Request, "REQUEST"};
constexpr Arg kAnswer{ArgKind::Answer, "ANSWER"};
constexpr Arg kState{ArgKind::Number, "S", 0, 7};

// One field of a module's knobs, set from the first value (a flag: turned on).
template <typename Module, auto Field>
const char* set(const KnobTarget& target, const Values& values) {
    auto& field = target.bmc.module<Module>()->knobs.*Field;
    using T = std::remove_reference_t<decltype(field)>;
    if constexpr (std::is_same_v<T, bool>)
        field = true;
    else if constexpr (std::is_same_v<T, std::string>)
        field = values.text;
    else if constexpr (std::is_same_v<T, std::optional<uint64_t>>)
        field = values.at[0];
    else
        field = static_cast<T>(values.at[0]);
    return nullptr;
}

const char* readyShort(const KnobTarget& target, const Values& values) {
    target.bmc.module<DumpModule>()->knobs.readyBytes = static_cast<uint8_t>(values.given != 0 ? values.at[0] : 1);
    return nullptr;
}

using UK = UpdateModule::Knobs;
using DK = DumpModule::Knobs;
using CK = ConfigModule::Knobs;

template <KcsDevice::Fault F, bool HasValue>
const char* kcsFault(const KnobTarget& target, const Values& values) {
    target.kcs->setFault(F, HasValue ? values.at[0] : 0, values.optional(HasValue ? 1 : 0));
    return nullptr;
}

template <bool KeepData>
const char* completionCode(const KnobTarget& target, const Values& values) {
    const RequestName& r = kRequests[values.at[0]];
    target.bmc.forceCompletionCode(r.netFn, r.command, static_cast<uint8_t>(values.at[1]), values.optional(2),
                                   KeepData);
    return nullptr;
}

template <ConfigModule::StatusField Field, bool HasValue>
const char* statusField(const KnobTarget& target, const Values& values) {
    const auto answer = static_cast<ConfigModule::Answer>(values.at[0]);
    const auto value = static_cast<uint8_t>(HasValue ? values.at[1] : 1);
    target.bmc.module<ConfigModule>()->knobs.overrides.push_back(
        {answer, Field, value, values.optional(HasValue ? 2 : 1)});
    return nullptr;
}

UpdateModule::Knobs& update(const KnobTarget& target) { return target.bmc.module<UpdateModule>()->knobs; }
ConfigModule::Knobs& config(const KnobTarget& target) { return target.bmc.module<ConfigModule>()->knobs; }

const Knob kSettings[] = {
    {"update-state",
     {{ArgKind::Number, "N", 0, 0xFF}},
     1,
     "update state of the update-info answers (default 2)",
     set<UpdateModule, &UK::updateState>},
    {"flash",
     {{ArgKind::File, "FILE", 0, kFlashSize}},
     1,
     "the flash at the start (default: all 0xFF)",
     [](const KnobTarget& t, const Values& v) -> const char* {
         std::fill(t.bmc.flash().begin(), t.bmc.flash().end(), 0xFF);
         std::copy_n(v.bytes.begin(), std::min(v.bytes.size(), t.bmc.flash().size()), t.bmc.flash().begin());
         return nullptr;
     }},
    {"save-flash",
     {{ArgKind::Path, "FILE"}},
     1,
     "write the 32 MiB flash into FILE when the run ends",
     [](const KnobTarget& t, const Values& v) -> const char* {
         t.bmc.saveFlashTo = v.text;
         return nullptr;
     }},
    {"dump-ready-after",
     {{ArgKind::Number, "N"}},
     1,
     "polls answered not ready first (default 0)",
     set<DumpModule, &DK::readyAfter>},
    {"dump-not-ready",
     {kByte},
     1,
     "readiness byte when not ready (default 0, not 1)",
     [](const KnobTarget& t, const Values& v) -> const char* {
         if (v.at[0] == kDumpReady) return "BYTE 1 means ready";
         return set<DumpModule, &DK::notReadyByte>(t, v);
     }},
    {"dump-length",
     {{ArgKind::Number, "N", 0, 0xFFFFFFFF}},
     1,
     "the dump length announced (default: the flash size)",
     set<DumpModule, &DK::length>},
    {"dump-send",
     {{ArgKind::Number, "N"}},
     1,
     "flash bytes served (default: the announced length)",
     set<DumpModule, &DK::send>},
    {"dump-last-flag",
     {{ArgKind::Number, "BYTE", 1, 0xFF}},
     1,
     "flag of the dump's last piece (default 1, not 0)",
     set<DumpModule, &DK::lastFlag>},
    {"config",
     {{ArgKind::File, "FILE"}},
     1,
     "configuration a backup reads (default: 3000 bytes)",
     [](const KnobTarget& t, const Values& v) -> const char* {
         t.bmc.module<ConfigModule>()->setConfiguration(v.bytes);
         return nullptr;
     }},
    {"save-config",
     {{ArgKind::Path, "FILE"}},
     1,
     "write the configuration into FILE when the run ends",
     set<ConfigModule, &CK::saveTo>},
    {"config-seq",
     {{ArgKind::Number, "N", 0, kSequenceMask}},
     1,
     "the first block number of a task (default 0)",
     set<ConfigModule, &CK::firstSequence>},
    {"config-block",
     {{ArgKind::Number, "N", 1, kMaxBackupBlock}},
     1,
     "configuration bytes per backup block (default 64)",
     set<ConfigModule, &CK::blockSize>},
};

const Knob kFaults[] = {
    {"kcs-ibf-stuck",
     {kN},
     0,
     "IBF never clears again, from the start or from the N-th request on",
     kcsFault<KcsDevice::Fault::IbfStuck, false>,
     true},
    {"kcs-delay",
     {{ArgKind::Number, "US", 0, UINT64_MAX / 1000}, kN},
     1,
     "every answer (or the N-th) comes US microseconds of virtual time late, IBF set meanwhile",
     kcsFault<KcsDevice::Fault::Delay, true>,
     true},
    {"kcs-error-state",
     {kN},
     0,
     "the controller goes to the error state instead of answering (every request, or the N-th)",
     kcsFault<KcsDevice::Fault::ErrorState, false>,
     true},
    {"kcs-long-response",
     {{ArgKind::Number, "BYTES", kcs::kReplyStoreSize + 1, 65535}, kN},
     1,
     "the response on the wire is padded with 0xCC to BYTES bytes (every time, or the N-th)",
     kcsFault<KcsDevice::Fault::LongResponse, true>,
     true},
    {"kcs-short-response",
     {{ArgKind::Number, "BYTES", 0, 2}, kN},
     1,
     "the response on the wire is cut to BYTES bytes (every time, or the N-th)",
     kcsFault<KcsDevice::Fault::ShortResponse, true>,
     true},
    {"kcs-obf-stuck",
     {kN},
     0,
     "a stale byte waits in the output register before every request, or once before the N-th",
     kcsFault<KcsDevice::Fault::ObfStuck, false>,
     true},
    {"request-cc",
     {kAnyRequestArg, kCode, kN},
     2,
     "REQUEST is answered with completion code CODE and no data, unhandled (every time, or its N-th time)",
     completionCode<false>},
    {"request-cc-data",
     {kAnyRequestArg, kCode, kN},
     2,
     "REQUEST is handled as usual, and its answer carries completion code CODE with its data",
     completionCode<true>},
    {"update-drop",
     {{ArgKind::Request, "REQUEST", 0, 0, kUpdateRequest}, kN},
     1,
     "the exchange of update request REQUEST breaks before the BMC acts on it (every time, or its N-th time)",
     [](const KnobTarget& t, const Values& v) -> const char* {
         update(t).drops.push_back({kRequests[v.at[0]].command, v.optional(1)});
         return nullptr;
     }},
    {"update-no-data",
     {{ArgKind::Request, "REQUEST", 0, 0, kUpdateAnswerData}},
     1,
     "REQUEST (one whose answer carries data) is answered without its data byte",
     [](const KnobTarget& t, const Values& v) -> const char* {
         update(t).noData.push_back(kRequests[v.at[0]].command);
         return nullptr;
     }},
    {"update-verdict",
     {kCode, {ArgKind::Number, "PART", 0, 0xFF}},
     1,
     "the last chunk of every part (or of part PART) is rejected: completion code 0xCD, verdict CODE",
     [](const KnobTarget& t, const Values& v) -> const char* {
         update(t).verdict =
             UK::Verdict{static_cast<uint8_t>(v.at[0]),
                         v.given > 1 ? std::optional<uint8_t>(static_cast<uint8_t>(v.at[1])) : std::nullopt};
         return nullptr;
     }},
    {"update-progress",
     {{ArgKind::Bytes, "P", 0, 0xFF}},
     1,
     "the progress answers in order, the last one repeated (default 25, 50, 75, 100)",
     [](const KnobTarget& t, const Values& v) -> const char* {
         update(t).progress = v.bytes;
         return nullptr;
     }},
    {"dump-never-ready", {}, 0, "the dump never gets ready", set<DumpModule, &DK::neverReady>},
    {"dump-ready-short",
     {{ArgKind::Number, "N", 1, 4}},
     0,
     "the ready answer carries only N of its 5 bytes (default 1: no length)",
     readyShort},
    {"dump-drop", {kK}, 1, "the K-th piece is served, then its exchange breaks", set<DumpModule, &DK::dropAt>},
    {"dump-no-data", {kK}, 1, "the K-th piece request is answered without data", set<DumpModule, &DK::noDataAt>},
    {"dump-short", {kK}, 1, "the K-th piece is a full piece one byte short", set<DumpModule, &DK::shortAt>},
    {"config-start-fail",
     {},
     0,
     "the task fails at the start: the start answer reports task state 5",
     set<ConfigModule, &CK::startFails>},
    {"config-never-ready", {}, 0, "the status answer never reports task state 2", set<ConfigModule, &CK::neverReady>},
    {"config-status-short",
     {{ArgKind::Number, "N", 1, kMaxAnswerData}},
     1,
     "the status answer carries only N bytes",
     set<ConfigModule, &CK::statusLength>},
    {"config-total",
     {{ArgKind::Number, "N", 0, 0xFFFFFFFF}},
     1,
     "a backup announces N bytes, whatever it holds",
     set<ConfigModule, &CK::total>},
    {"config-fail-at",
     {kK},
     1,
     "the task fails at the K-th block: its answer reports task state 5",
     set<ConfigModule, &CK::failAt>},
    {"config-bad-seq",
     {kK},
     1,
     "the K-th block answer repeats the last block number",
     set<ConfigModule, &CK::badSequenceAt>},
    {"config-other-task", {kK}, 1, "the K-th block answer names another task", set<ConfigModule, &CK::otherTaskAt>},
    {"config-short-block",
     {kK},
     1,
     "the K-th block answer is the status byte alone",
     set<ConfigModule, &CK::shortBlockAt>},
    {"config-drop", {kK}, 1, "the K-th block is served, then its exchange breaks", set<ConfigModule, &CK::dropAt>},
    {"config-no-data",
     {kK, kN},
     2,
     "N backup block answers from the K-th carry no data",
     [](const KnobTarget& t, const Values& v) -> const char* {
         config(t).noDataAt = v.at[0];
         config(t).noDataCount = v.at[1];
         return nullptr;
     }},
    {"config-hold",
     {kState, kK, kN},
     3,
     "N block answers from the K-th report task state S and take no block",
     [](const KnobTarget& t, const Values& v) -> const char* {
         config(t).heldState = v.at[0];
         config(t).holdAt = v.at[1];
         config(t).holdCount = v.at[2];
         return nullptr;
     }},
    {"config-task-state",
     {kAnswer, kState, kN},
     2,
     "ANSWER reports task state S, whatever the task's state (every time, or its N-th time)",
     statusField<ConfigModule::StatusField::TaskState, true>},
    {"config-task-id",
     {kAnswer, {ArgKind::Number, "ID", 0, 15}, kN},
     2,
     "ANSWER names task ID, whatever the task (every time, or its N-th time)",
     statusField<ConfigModule::StatusField::TaskId, true>},
    {"config-low-bit",
     {kAnswer, kN},
     1,
     "ANSWER has bit 0 of its status byte set (every time, or its N-th time)",
     statusField<ConfigModule::StatusField::LowBit, false>},
};

size_t argCount(const Knob& knob) {
    size_t n = 0;
    while (n < std::size(knob.args) && knob.args[n].kind != ArgKind::None) ++n;
    return n;
}

// NAME:A[:B[:C]], P[:P]... for a list.
std::string usage(const Knob& knob) {
    std::string u(knob.name);
    const size_t n = argCount(knob);
    for (size_t i = 0; i < n; ++i) {
        const Arg& a = knob.args[i];
        u += i < knob.required ? ":" : "[:";
        u += a.name;
        if (a.kind == ArgKind::Bytes) u += std::string("[:") + a.name + "]...";
    }
    u += std::string(n > knob.required ? n - knob.required : 0, ']');
    return u;
}

std::string range(const Arg& a) {
    std::string r = " wants a number from " + std::to_string(a.min);
    if (a.max != UINT64_MAX) r += " to " + std::to_string(a.max);
    return r;
}

bool readFile(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot read " + path;
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *why = "cannot read " + path;
        return false;
    }
    if (bytes->size() > limit) {
        *why = path + " is larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    return true;
}

// One argument into values->at[i]; false with *why set.
bool parseArg(const Arg& a, std::string_view text, size_t i, Values* values, std::string* why) {
    uint64_t n = 0;
    switch (a.kind) {
        case ArgKind::Number:
        case ArgKind::Bytes:
            if (!hosted::parseNumber(text, &n) || n < a.min || n > a.max) {
                *why = a.name + range(a);
                return false;
            }
            if (a.kind == ArgKind::Bytes)
                values->bytes.push_back(static_cast<uint8_t>(n));
            else
                values->at[i] = n;
            return true;
        case ArgKind::Request:
            for (const RequestName& r : kRequests) {
                if (r.name == text && (r.groups & a.requests) != 0) {
                    values->at[i] = static_cast<uint64_t>(&r - kRequests);
                    return true;
                }
            }
            *why = std::string(a.name) + " wants one of";
            for (const RequestName& r : kRequests)
                if ((r.groups & a.requests) != 0) *why += " " + std::string(r.name);
            return false;
        case ArgKind::Answer:
            for (size_t k = 0; k < std::size(kAnswers); ++k) {
                if (kAnswers[k] == text) {
                    values->at[i] = k;
                    return true;
                }
            }
            *why = std::string(a.name) + " wants one of reset start status block finish";
            return false;
        case ArgKind::File:
            return readFile(std::string(text), a.max, &values->bytes, why);
        case ArgKind::Path:
            if (text.empty()) {
                *why = std::string(a.name) + " wants a file name";
                return false;
            }
            values->text = text;
            return true;
        case ArgKind::None:
            break;
    }
    return false;
}

// The arguments of knob from pieces; false with *why set.
bool parseArgs(const Knob& knob, std::span<const std::string_view> pieces, Values* values, std::string* why) {
    const size_t n = argCount(knob);
    const bool list = n > 0 && knob.args[n - 1].kind == ArgKind::Bytes;
    if (pieces.size() < knob.required || (!list && pieces.size() > n)) {
        *why = "the form is " + usage(knob);
        return false;
    }
    for (size_t i = 0; i < pieces.size(); ++i)
        if (!parseArg(knob.args[i < n ? i : n - 1], pieces[i], i, values, why)) return false;
    values->given = pieces.size();
    return true;
}

const Knob* find(std::span<const Knob> table, std::string_view name) {
    for (const Knob& k : table)
        if (k.name == name) return &k;
    return nullptr;
}

bool apply(const Knob& knob, const KnobTarget& target, std::span<const std::string_view> pieces, std::string* why) {
    if (knob.onKcs && target.kcs == nullptr) {
        *why = "the kcs- faults need korvex-sim's simulated KCS controller";
        return false;
    }
    Values values;
    if (!parseArgs(knob, pieces, &values, why)) return false;
    if (const char* refused = knob.apply(target, values)) {
        *why = refused;
        return false;
    }
    return true;
}

std::vector<std::string_view> splitColons(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t colon = text.find(':');
        pieces.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos) return pieces;
        text.remove_prefix(colon + 1);
    }
}

constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpColumn = 28;  // where the settings' help starts

// Appends text after line, wrapped at kHelpWidth, further lines indented to column.
void wrap(std::string* out, std::string line, std::string_view text, size_t column) {
    bool empty = true;
    while (!text.empty()) {
        const size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
        if (!empty && line.size() + 1 + word.size() > kHelpWidth) {
            *out += line + "\n";
            line.assign(column, ' ');
            empty = true;
        }
        if (!empty) line += ' ';
        line += word;
        empty = false;
    }
    *out += line + "\n";
}

// "  HEAD   help": the help from column on, or on the next line when HEAD reaches it.
void addEntry(std::string* out, const std::string& head, std::string_view help, size_t column) {
    std::string line = "  " + head;
    if (line.size() >= column) {
        *out += line + "\n";
        line.clear();
    }
    line.resize(column, ' ');
    wrap(out, line, help, column);
}

}  // namespace

bool applyKnob(const KnobTarget& target, std::string_view option, std::string* error) {
    std::string why;
    bool ok = false;
    const size_t eq = option.find('=');
    const std::string_view name = option.substr(0, eq).substr(option.starts_with("--bmc-") ? 6 : option.size());
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : option.substr(eq + 1);
    if (name == "fault") {
        const size_t colon = value.find(':');
        const Knob* fault = find(kFaults, value.substr(0, colon));
        if (fault == nullptr) {
            why = "no such fault (--help-faults lists them)";
        } else {
            const auto pieces = colon == std::string_view::npos ? std::vector<std::string_view>()
                                                                : splitColons(value.substr(colon + 1));
            ok = apply(*fault, target, pieces, &why);
        }
    } else if (const Knob* setting = find(kSettings, name); setting != nullptr && eq != std::string_view::npos) {
        const std::string_view piece[] = {value};
        ok = apply(*setting, target, piece, &why);
    } else if (setting != nullptr) {
        why = "the form is --bmc-" + usage(*setting).replace(setting->name.size(), 1, "=");
    } else {
        why = "no such BMC option (--help lists them)";
    }
    if (!ok) *error = std::string(option) + ": " + why;
    return ok;
}

std::string knobHelp(bool withKcs) {
    std::string help;
    for (const Knob& k : kSettings)
        addEntry(&help, "--bmc-" + usage(k).replace(k.name.size(), 1, "="), k.help, kHelpColumn);
    addEntry(&help, "--bmc-fault=FAULT[:ARGS]",
             withKcs ? "a fault: kcs-..., request-..., update-..., dump-..., config-... (--help-faults lists them)"
                     : "a fault: request-..., update-..., dump-..., config-... (--help-faults lists them)",
             kHelpColumn);
    return help;
}

std::string faultHelp(bool withKcs) {
    std::string help = "--bmc-fault=FAULT[:ARGS], as often as wanted, FAULT[:ARGS] one of:\n";
    for (const Knob& k : kFaults)
        if (withKcs || !k.onKcs) addEntry(&help, usage(k), k.help, 36);
    help += "\n";
    wrap(&help, "",
         std::string(withKcs ? "N counts from 1 the requests in the order the host starts them (kcs-), or "
                             : "N counts from 1 ") +
             "the occurrences of a request or answer (request-, update-, config-task-...). K counts from 1 the piece "
             "requests of a dump, or the block requests of a configuration task.",
         0);
    std::string names = "REQUEST, by name:";
    for (const RequestName& r : kRequests) names += " " + std::string(r.name);
    wrap(&help, "", names, 2);
    wrap(&help, "", "ANSWER, a configuration transfer answer: reset start status block finish", 2);
    return help;
}

}  // namespace korvex::bmc
