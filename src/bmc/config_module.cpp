#include "bmc/config_module.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace korvex::bmc {

namespace {
constexpr uint8_t kCmdConfigTransfer = 0x20;
constexpr uint8_t kCcInvalidData = 0xCC;
constexpr uint8_t kCcBadLength = 0xC7;
constexpr uint8_t kOpStartBackup = 0, kOpStartRestore = 1, kOpStatus = 2, kOpBlock = 3, kOpReset = 6;
constexpr uint64_t kSequenceMask = 0xFFFFFF;
constexpr size_t kSampleSize = 3000;
constexpr uint64_t kMaxBlock = 121;  // 125 answer bytes less the status byte and the sequence number

// A built-in configuration: deterministic bytes that look like nothing in
// particular, so that a lost, repeated or swapped block shows.
std::vector<uint8_t> sampleConfiguration() {
    std::vector<uint8_t> bytes(kSampleSize);
    uint32_t x = 0x2545F491;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

bool inRun(uint64_t k, uint64_t first, uint64_t count) { return first != 0 && k >= first && k < first + count; }

}  // namespace

ConfigModule::ConfigModule() : configuration_(sampleConfiguration()) {}

void ConfigModule::install(SimBmc& bmc) {
    bmc.setHandler(kNetFnOem, kCmdConfigTransfer, [this](const Request& r) { return answer(r); });
}

Response ConfigModule::statusOnly(uint8_t taskId, uint8_t state) const {
    return Response{0x00, {static_cast<uint8_t>((taskId & 0x0F) << 4 | (state & 7) << 1)}};
}

void ConfigModule::putSequence(Response* r, uint64_t sequence) const {
    for (int i = 0; i < 3; ++i) r->data.push_back(static_cast<uint8_t>(sequence >> (8 * i)));
}

Response ConfigModule::answer(const Request& request) {
    if (request.data.empty()) return Response{kCcBadLength, {}};
    const uint8_t taskId = request.data[0] >> 4;
    switch (request.data[0] & 0x0F) {
        case kOpReset:
            return reset();
        case kOpStartBackup:
        case kOpStartRestore:
            return start(request);
        case kOpStatus:
            return status(taskId);
        case kOpBlock:
            return request.data.size() == 1 ? finishTask(taskId) : block(taskId, request);
        default:
            return Response{kCcInvalidData, {}};
    }
}

Response ConfigModule::reset() {
    task_ = Task::None;
    state_ = kStateReset;
    return statusOnly(0, kStateReset);
}

Response ConfigModule::start(const Request& request) {
    const bool restore = (request.data[0] & 0x0F) == kOpStartRestore;
    if (restore && request.data.size() != 5) return Response{kCcBadLength, {}};
    lastTaskId_ = static_cast<uint8_t>(lastTaskId_ % 15 + 1);
    taskId_ = lastTaskId_;
    task_ = restore ? Task::Restore : Task::Backup;
    state_ = startFails_ ? kStateFailed : kStateStarted;
    sequence_ = firstSequence_ & kSequenceMask;
    offset_ = 0;
    lastOffset_ = 0;
    served_ = false;
    taskBlocks_ = 0;
    collected_.clear();
    committed_ = false;
    expected_ = 0;
    if (restore)
        for (int i = 0; i < 4; ++i) expected_ |= static_cast<uint64_t>(request.data[1 + i]) << (8 * i);
    return statusOnly(taskId_, state_);
}

Response ConfigModule::status(uint8_t taskId) {
    if (task_ == Task::None || taskId != taskId_ || state_ == kStateFailed) return statusOnly(taskId, kStateFailed);
    if (neverReady_) return statusOnly(taskId_, kStateStarted);
    state_ = kStateReady;
    if (task_ == Task::Restore && expected_ == 0 && !committed_) commit();  // nothing to wait for
    Response r = statusOnly(taskId_, kStateReady);
    putSequence(&r, sequence_);
    const uint64_t total = task_ == Task::Backup ? (totalSet_ ? total_ : configuration_.size()) : expected_;
    for (int i = 0; i < 4; ++i) r.data.push_back(static_cast<uint8_t>(total >> (8 * i)));
    if (statusLength_ != 0 && statusLength_ < r.data.size()) r.data.resize(statusLength_);
    return r;
}

Response ConfigModule::block(uint8_t taskId, const Request& request) {
    ++blockRequests_;
    if (task_ == Task::None || taskId != taskId_ || state_ != kStateReady || request.data.size() < 4)
        return statusOnly(taskId_, kStateFailed);
    const uint64_t k = ++taskBlocks_;
    const uint64_t next = (sequence_ + 1) & kSequenceMask;
    if (k == failAt_) {
        state_ = kStateFailed;
        return statusOnly(taskId_, kStateFailed);
    }
    if (k == otherTaskAt_) {
        Response r = statusOnly(static_cast<uint8_t>(taskId_ + 1), kStateReady);
        putSequence(&r, next);
        return r;
    }
    if (k == shortBlockAt_) return statusOnly(taskId_, kStateReady);
    if (k == badSequenceAt_) {
        Response r = statusOnly(taskId_, kStateReady);
        putSequence(&r, sequence_);
        return r;
    }
    const uint64_t asked = request.data[1] | request.data[2] << 8 | request.data[3] << 16;
    if (served_ && asked == ((sequence_ - 1) & kSequenceMask)) return repeatLast();
    if (asked != sequence_) {  // the host lost count: the task cannot go on
        state_ = kStateFailed;
        return statusOnly(taskId_, kStateFailed);
    }
    if (inRun(k, stateAt_, stateCount_)) {
        // Not ready for this block; a restore block is kept but not numbered.
        if (task_ == Task::Restore) collect(request);
        return statusOnly(taskId_, static_cast<uint8_t>(heldState_));
    }
    Response r = statusOnly(taskId_, kStateReady);
    if (task_ == Task::Backup && inRun(k, noDataAt_, noDataCount_)) {
        putSequence(&r, next);
        return r;
    }
    sequence_ = next;
    served_ = true;
    putSequence(&r, sequence_);
    if (task_ == Task::Backup) {
        lastOffset_ = offset_;
        offset_ += std::min<uint64_t>(blockSize_, configuration_.size() - std::min(offset_, configuration_.size()));
        appendServed(&r);
    } else {
        collect(request);
    }
    if (k == dropAt_) r.dropExchange = true;
    return r;
}

// A restore block; the configuration is replaced once all announced bytes
// are in. It takes the collected bytes over once; bytes a host sends beyond
// the announced length go straight onto it, so a long restore costs what it
// sends, not the square of it.
void ConfigModule::collect(const Request& request) {
    std::vector<uint8_t>& into = committed_ ? configuration_ : collected_;
    into.insert(into.end(), request.data.begin() + 4, request.data.end());
    if (!committed_ && collected_.size() >= expected_) commit();
}

void ConfigModule::commit() {
    configuration_.swap(collected_);
    collected_.clear();
    committed_ = true;
    ++commits_;
}

void ConfigModule::appendServed(Response* r) const {
    const auto begin = configuration_.begin();
    r->data.insert(r->data.end(), begin + static_cast<std::ptrdiff_t>(lastOffset_),
                   begin + static_cast<std::ptrdiff_t>(offset_));
}

// The host asks again for the block it was last given: its answer got lost.
// A backup serves the same bytes again; a restore keeps the block only once.
Response ConfigModule::repeatLast() const {
    Response r = statusOnly(taskId_, kStateReady);
    putSequence(&r, sequence_);
    if (task_ == Task::Backup) appendServed(&r);
    return r;
}

Response ConfigModule::finishTask(uint8_t taskId) {
    ++finishRequests_;
    if (taskId == taskId_) {
        task_ = Task::None;
        state_ = kStateReset;
    }
    return statusOnly(taskId, kStateReset);
}

KnobResult ConfigModule::setFault(std::string_view value, std::string* error) {
    if (value == "config-start-fail") {
        startFails_ = true;
        return KnobResult::Ok;
    }
    if (value == "config-never-ready") {
        neverReady_ = true;
        return KnobResult::Ok;
    }
    // The first field's range, the fields, and what to say when they are wrong.
    struct Shape {
        std::string_view prefix;
        size_t count;
        uint64_t* fields[3];
        uint64_t min, max;
        const char* usage;
    };
    const Shape shapes[] = {
        {"config-status-short:", 1, {&statusLength_}, 1, 125, "config-status-short:N wants a byte count from 1"},
        {"config-total:", 1, {&total_}, 0, 0xFFFFFFFF, "config-total:N wants a 32-bit length"},
        {"config-fail-at:", 1, {&failAt_}, 1, UINT64_MAX, "config-fail-at:K wants a block number from 1"},
        {"config-bad-seq:", 1, {&badSequenceAt_}, 1, UINT64_MAX, "config-bad-seq:K wants a block number from 1"},
        {"config-other-task:", 1, {&otherTaskAt_}, 1, UINT64_MAX, "config-other-task:K wants a block number from 1"},
        {"config-drop:", 1, {&dropAt_}, 1, UINT64_MAX, "config-drop:K wants a block number from 1"},
        {"config-short-block:", 1, {&shortBlockAt_}, 1, UINT64_MAX,
         "config-short-block:K wants a block number from 1"},
        {"config-no-data:", 2, {&noDataAt_, &noDataCount_}, 1, UINT64_MAX,
         "config-no-data:K:N wants a block number from 1 and a count"},
        {"config-state:", 3, {&heldState_, &stateAt_, &stateCount_}, 0, 7,
         "config-state:S:K:N wants a state (0-7), a block number from 1 and a count"},
    };
    for (const Shape& s : shapes) {
        if (value.substr(0, s.prefix.size()) != s.prefix) continue;
        std::vector<uint64_t> v;
        if (!parseKnobNumbers(value.substr(s.prefix.size()), &v) || v.size() != s.count || v[0] < s.min ||
            v[0] > s.max || (s.count == 3 && v[1] == 0)) {
            *error = s.usage;
            return KnobResult::Bad;
        }
        for (size_t i = 0; i < s.count; ++i) *s.fields[i] = v[i];
        if (s.fields[0] == &total_) totalSet_ = true;
        return KnobResult::Ok;
    }
    return KnobResult::NotMine;
}

KnobResult ConfigModule::setKnob(std::string_view name, std::string_view value, std::string* error) {
    if (name == "fault") return setFault(value, error);
    if (name == "config") {
        std::ifstream in{std::string(value), std::ios::binary};
        if (!in) {
            *error = "cannot read " + std::string(value);
            return KnobResult::Bad;
        }
        configuration_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return KnobResult::Ok;
    }
    if (name == "save-config") {
        if (value.empty()) {
            *error = "save-config wants a file name";
            return KnobResult::Bad;
        }
        saveTo_ = std::string(value);
        return KnobResult::Ok;
    }
    if (name == "config-seq") {
        if (!parseKnobNumber(value, &firstSequence_) || firstSequence_ > kSequenceMask) {
            *error = "config-seq wants a 24-bit number";
            return KnobResult::Bad;
        }
        return KnobResult::Ok;
    }
    if (name == "config-block") {
        if (!parseKnobNumber(value, &blockSize_) || blockSize_ == 0 || blockSize_ > kMaxBlock) {
            *error = "config-block wants a size from 1 to 121";
            return KnobResult::Bad;
        }
        return KnobResult::Ok;
    }
    return KnobResult::NotMine;
}

bool ConfigModule::finish(std::string* error) {
    if (saveTo_.empty()) return true;
    std::ofstream out(saveTo_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(configuration_.data()), static_cast<std::streamsize>(configuration_.size()));
    out.close();
    if (out) return true;
    *error = "cannot write the BMC configuration to " + saveTo_;
    return false;
}

std::string ConfigModule::knobHelp() const {
    return "  --bmc-config=FILE      the BMC's IPMI configuration that a backup reads\n"
           "                         (default: 3000 built-in bytes)\n"
           "  --bmc-save-config=FILE when the run ends, write the BMC's configuration\n"
           "                         (replaced by a completed restore) to FILE\n"
           "  --bmc-config-seq=N     the first block sequence number of a task (24 bits)\n"
           "  --bmc-config-block=N   configuration bytes per backup block (1-121, default 64)\n"
           "  --bmc-fault=config-start-fail     the start answer reports TASK_FAIL_STATE\n"
           "  --bmc-fault=config-never-ready    the status answer never reaches task state 2\n"
           "  --bmc-fault=config-status-short:N the status answer carries only N bytes\n"
           "  --bmc-fault=config-total:N        a backup announces N bytes whatever it holds\n"
           "  --bmc-fault=config-fail-at:K      the K-th block answer reports TASK_FAIL_STATE\n"
           "  --bmc-fault=config-bad-seq:K      the K-th block answer repeats the last number\n"
           "  --bmc-fault=config-other-task:K   the K-th block answer names another task\n"
           "  --bmc-fault=config-short-block:K\n"
           "                                    the K-th block answer is the status byte alone\n"
           "  --bmc-fault=config-drop:K         the K-th block is served, then its exchange breaks\n"
           "  --bmc-fault=config-no-data:K:N    N backup block answers from the K-th carry no data\n"
           "  --bmc-fault=config-state:S:K:N    N block answers from the K-th report task state S\n"
           "                                    and take no block\n"
           "                         (K counts the block requests of a task from 1)\n";
}

}  // namespace korvex::bmc
