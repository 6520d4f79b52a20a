#include "bmc/config_module.h"

#include <algorithm>
#include <fstream>

namespace korvex::bmc {

namespace {
constexpr size_t kSampleSize = 3000;

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

ConfigModule::Answer ConfigModule::kindOf(const Request& request) {
    switch (request.data[0] & 0x0F) {
        case kOpReset:
            return Answer::Reset;
        case kOpStartBackup:
        case kOpStartRestore:
            return Answer::Start;
        case kOpStatus:
            return Answer::Status;
        case kOpBlock:
            return request.data.size() == 1 ? Answer::Finish : Answer::Block;
        default:
            return Answer::Other;
    }
}

Response ConfigModule::answer(const Request& request) {
    if (request.data.empty()) return Response{kCcBadLength, {}};
    const uint8_t taskId = request.data[0] >> 4;
    const Answer kind = kindOf(request);
    Response r;
    switch (kind) {
        case Answer::Reset:
            r = reset();
            break;
        case Answer::Start:
            r = start(request);
            break;
        case Answer::Status:
            r = status(taskId);
            break;
        case Answer::Block:
            r = block(taskId, request);
            break;
        case Answer::Finish:
            r = finishTask(taskId);
            break;
        case Answer::Other:
            return Response{kCcInvalidDataField, {}};
    }
    applyOverrides(kind, &r);
    return r;
}

// What the BMC reports in the status byte, whatever it did with the request.
void ConfigModule::applyOverrides(Answer kind, Response* r) {
    const uint64_t n = ++answers_[static_cast<size_t>(kind)];
    for (const Knobs::StatusOverride& o : knobs.overrides) {
        if (o.answer != kind || (o.nth != 0 && o.nth != n) || r->data.empty()) continue;
        uint8_t& b = r->data[0];
        switch (o.field) {
            case StatusField::TaskState:
                b = static_cast<uint8_t>((b & ~0x0E) | o.value << 1);
                break;
            case StatusField::TaskId:
                b = static_cast<uint8_t>((b & 0x0F) | o.value << 4);
                break;
            case StatusField::LowBit:
                b = static_cast<uint8_t>((b & ~0x01) | o.value);
                break;
        }
    }
}

Response ConfigModule::reset() {
    task_ = Task::None;
    state_ = kTaskReset;
    return statusOnly(0, kTaskReset);
}

Response ConfigModule::start(const Request& request) {
    const bool restore = (request.data[0] & 0x0F) == kOpStartRestore;
    if (restore && request.data.size() != 5) return Response{kCcBadLength, {}};
    lastTaskId_ = static_cast<uint8_t>(lastTaskId_ % 15 + 1);
    taskId_ = lastTaskId_;
    task_ = restore ? Task::Restore : Task::Backup;
    state_ = knobs.startFails ? kTaskFailState : kTaskStarted;
    sequence_ = knobs.firstSequence & kSequenceMask;
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
    if (task_ == Task::None || taskId != taskId_ || state_ == kTaskFailState) return statusOnly(taskId, kTaskFailState);
    if (knobs.neverReady) return statusOnly(taskId_, kTaskStarted);
    state_ = kTaskReady;
    if (task_ == Task::Restore && expected_ == 0 && !committed_) commit();  // nothing to wait for
    Response r = statusOnly(taskId_, kTaskReady);
    putSequence(&r, sequence_);
    const uint64_t total = task_ == Task::Backup ? knobs.total.value_or(configuration_.size()) : expected_;
    for (int i = 0; i < 4; ++i) r.data.push_back(static_cast<uint8_t>(total >> (8 * i)));
    if (knobs.statusLength != 0 && knobs.statusLength < r.data.size()) r.data.resize(knobs.statusLength);
    return r;
}

Response ConfigModule::block(uint8_t taskId, const Request& request) {
    ++blockRequests_;
    if (task_ == Task::None || taskId != taskId_ || state_ != kTaskReady || request.data.size() < 4)
        return statusOnly(taskId_, kTaskFailState);
    const uint64_t k = ++taskBlocks_;
    const uint64_t next = (sequence_ + 1) & kSequenceMask;
    if (k == knobs.failAt) {
        state_ = kTaskFailState;
        return statusOnly(taskId_, kTaskFailState);
    }
    if (k == knobs.otherTaskAt) {
        Response r = statusOnly(static_cast<uint8_t>(taskId_ + 1), kTaskReady);
        putSequence(&r, next);
        return r;
    }
    if (k == knobs.shortBlockAt) return statusOnly(taskId_, kTaskReady);
    if (k == knobs.badSequenceAt) {
        Response r = statusOnly(taskId_, kTaskReady);
        putSequence(&r, sequence_);
        return r;
    }
    const uint64_t asked = request.data[1] | request.data[2] << 8 | request.data[3] << 16;
    if (served_ && asked == ((sequence_ - 1) & kSequenceMask)) return repeatLast();
    if (asked != sequence_) {  // the host lost count: the task cannot go on
        state_ = kTaskFailState;
        return statusOnly(taskId_, kTaskFailState);
    }
    if (inRun(k, knobs.holdAt, knobs.holdCount)) {
        // Not ready for this block; a restore block is kept but not numbered.
        if (task_ == Task::Restore) collect(request);
        return statusOnly(taskId_, static_cast<uint8_t>(knobs.heldState));
    }
    Response r = statusOnly(taskId_, kTaskReady);
    if (task_ == Task::Backup && inRun(k, knobs.noDataAt, knobs.noDataCount)) {
        putSequence(&r, next);
        return r;
    }
    sequence_ = next;
    served_ = true;
    putSequence(&r, sequence_);
    if (task_ == Task::Backup) {
        lastOffset_ = offset_;
        offset_ +=
            std::min<uint64_t>(knobs.blockSize, configuration_.size() - std::min(offset_, configuration_.size()));
        appendServed(&r);
    } else {
        collect(request);
    }
    if (k == knobs.dropAt) r.dropExchange = true;
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
    Response r = statusOnly(taskId_, kTaskReady);
    putSequence(&r, sequence_);
    if (task_ == Task::Backup) appendServed(&r);
    return r;
}

Response ConfigModule::finishTask(uint8_t taskId) {
    ++finishRequests_;
    if (taskId == taskId_) {
        task_ = Task::None;
        state_ = kTaskReset;
    }
    return statusOnly(taskId, kTaskReset);
}

bool ConfigModule::finish(std::string* error) {
    if (knobs.saveTo.empty()) return true;
    std::ofstream out(knobs.saveTo, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(configuration_.data()),
              static_cast<std::streamsize>(configuration_.size()));
    out.close();
    if (out) return true;
    *error = "cannot write the BMC configuration to " + knobs.saveTo;
    return false;
}

}  // namespace korvex::bmc
