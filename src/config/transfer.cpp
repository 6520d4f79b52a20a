#include "config/transfer.h"

#include <cstring>

namespace korvex {

namespace {

constexpr int32_t kBlockHeader = 4;  // control byte and a 24-bit sequence number
constexpr int32_t kStatusAnswerRestore = 4;
constexpr int32_t kStatusAnswerBackup = 8;
// The sixth block answer in a row that brings nothing ends the transfer.
constexpr unsigned kRetransmissionLimit = 6;

// An answer buffer that holds whatever an exchange can deliver, so no answer,
// however long, is written beyond it.
constexpr size_t kAnswerSize = 128;

uint8_t controlByte(uint8_t taskId, uint8_t operation) { return static_cast<uint8_t>(taskId << 4 | operation); }

constexpr RetryPolicy policy(uint64_t retryDelaySeconds, uint8_t stateCheck, uint8_t expectedState,
                             uint64_t attemptLimit) {
    return RetryPolicy{retryDelaySeconds, stateCheck, expectedState, attemptLimit};
}

bool failed(StepResult result) { return result != StepResult::Ok; }

constexpr RetryPolicy kBlockPolicy = policy(0, 0, 0, 5);  // block requests follow one another without a pause

// doIPMICmd for the task of c. An answer that reports TASK_FAIL_STATE is the
// BMC's refusal of the job, whatever the step makes of it; the run's outcome says so.
StepResult taskRequest(ConfigTransfer& c, const uint8_t* request, int32_t length, uint8_t* answer, int32_t* inlen,
                       const RetryPolicy& retry, TaskStatus* task) {
    const StepResult result = doIPMICmd(c.link, request, length, answer, inlen, retry, task);
    if (task->taskState == kTaskFailState) c.refusedByBmc = true;
    return result;
}

// Asked before each request of a backup: a stop ends the step as a failed
// request would, so the flow closes the task with the finish request.
bool stopRequested(ConfigTransfer& c) {
    if (!c.stops.stopRequested()) return false;
    c.interrupted = true;
    c.link.console.print("Error : Interrupted\n");
    return true;
}

uint64_t nextSequence(uint64_t sequence) { return (sequence + 1) & kSequenceMask; }

void putSequence(uint8_t* bytes, uint64_t sequence) {
    bytes[0] = static_cast<uint8_t>(sequence);
    bytes[1] = static_cast<uint8_t>(sequence >> 8);
    bytes[2] = static_cast<uint8_t>(sequence >> 16);
}

uint64_t answerSequence(const uint8_t* answer) {
    return static_cast<uint64_t>(littleEndianField(answer + 1, 3)) & kSequenceMask;
}

void reportUnsynchronized(Console& console, uint64_t expected, uint64_t received) {
    console.print("Error : Unsynchronized sequence. Expected : %u, Received : %u\n", static_cast<unsigned>(expected),
                  static_cast<unsigned>(received));
}

struct Cycle {
    int64_t count = 0;
    bool failed = false;
};

// One block request and its answer, with the counters that must survive from
// one cycle to the next.
class BlockTransfer {
public:
    explicit BlockTransfer(ConfigTransfer& context) : c_(context), console_(context.link.console) {}

    StepResult run() {
        console_.print("Total data length : %9ld\n", static_cast<long>(c_.totalLength));
        int64_t processed = 0;
        while (processed < c_.totalLength) {
            if (stopRequested(c_)) return StepResult::Failed;
            std::memset(answer_, 0, kBlockHeader);
            request_[0] = controlByte(c_.taskId, kOpBlock);
            putSequence(request_ + 1, c_.sequence);
            const Cycle cycle = c_.mode == kModeBackup ? backupCycle() : restoreCycle(c_.totalLength - processed);
            processed += cycle.count;
            console_.print("Bytes Processed data length : 0x%4lx Bytes Transmit Progress : %4ld %%\r",
                           static_cast<long>(processed), static_cast<long>(processed * 100 / c_.totalLength));
            console_.flush();
            if (cycle.failed) return StepResult::Failed;
        }
        return StepResult::Ok;
    }

private:
    Cycle backupCycle() {
        TaskStatus task;
        if (failed(taskRequest(c_, request_, kBlockHeader, answer_, &inlen_, kBlockPolicy, &task))) return {0, true};
        if (task.taskId != c_.taskId) return {0, true};
        if (task.taskState == kTaskFailState) {
            console_.print("Error : TASK_FAIL_STATE\n");
            return {0, true};
        }
        if (task.taskState != kTaskReady && task.taskState != kTaskBackupDelivered) {
            // The BMC has not served the block yet: ask again, but not forever.
            if (++waits_ < kRetransmissionLimit) return {0, false};
            console_.print("Error : Task state %u repeated %u times without a block.\n",
                           static_cast<unsigned>(task.taskState), waits_);
            return {0, true};
        }
        const uint64_t expected = nextSequence(c_.sequence);
        const uint64_t received = answerSequence(answer_);
        if (received != expected) {
            reportUnsynchronized(console_, expected, received);
            return {0, true};
        }
        const int32_t n = inlen_ - kBlockHeader;
        if (n <= 0) {
            // The same block is asked for again with the same number.
            if (++retransmissions_ < kRetransmissionLimit) return {0, false};
            console_.print("Retransmission failed %u times.\n", retransmissions_);
            return {0, true};
        }
        c_.sequence = received;
        retransmissions_ = 0;
        waits_ = 0;
        const size_t written = c_.file->write(answer_ + kBlockHeader, static_cast<size_t>(n));
        if (written != static_cast<size_t>(n)) {
            reportBackupWriteFailure(console_);
            return {static_cast<int64_t>(written), true};
        }
        return {n, false};
    }

    Cycle restoreCycle(int64_t remaining) {
        // Never more than the announced length, even if the file has grown since.
        const size_t want = static_cast<size_t>(
            remaining < static_cast<int64_t>(kRestoreBlockData) ? remaining : static_cast<int64_t>(kRestoreBlockData));
        const size_t got = c_.file->read(request_ + kBlockHeader, want);
        if (got == 0) {
            console_.print("ERROR: READ FILE FAILED\n\n");
            return {0, true};
        }
        const Cycle sent{static_cast<int64_t>(got), true};
        TaskStatus task;
        if (failed(taskRequest(c_, request_, kBlockHeader + static_cast<int32_t>(got), answer_, &inlen_, kBlockPolicy,
                               &task)))
            return sent;
        if (task.taskId != c_.taskId) return sent;
        if (task.taskState == kTaskFailState) {
            console_.print("Error : TASK_FAIL_STATE\n");
            return sent;
        }
        if (task.taskState == kTaskReady) {
            const uint64_t expected = nextSequence(c_.sequence);
            const uint64_t received = answerSequence(answer_);
            if (received != expected) {
                reportUnsynchronized(console_, expected, received);
                return sent;
            }
            c_.sequence = received;
        }
        return {static_cast<int64_t>(got), false};
    }

    ConfigTransfer& c_;
    Console& console_;
    uint8_t request_[kBlockHeader + kRestoreBlockData] = {};
    uint8_t answer_[kAnswerSize] = {};
    int32_t inlen_ = 0;
    unsigned retransmissions_ = 0;
    unsigned waits_ = 0;
};

}  // namespace

void reportBackupWriteFailure(Console& console) { console.print("ERROR: WRITE FILE FAILED\n\n"); }

StepResult prepareConfigTransfer(ConfigTransfer* context) {
    ConfigTransfer& c = *context;
    Console& console = c.link.console;
    uint8_t request[5] = {};
    uint8_t answer[kAnswerSize] = {};
    int32_t inlen = 0;
    console.print("Data preparing........\n");

    request[0] = kOpReset;
    TaskStatus task;
    if (failed(taskRequest(c, request, 1, answer, &inlen, policy(0, 1, kTaskReset, 5), &task)))
        return StepResult::Failed;

    if (stopRequested(c)) return StepResult::Failed;
    int32_t startLength = 1;
    request[0] = kOpStartBackup;
    if (c.mode == kModeRestore) {
        const auto length = static_cast<uint64_t>(c.totalLength);
        request[0] = kOpStartRestore;
        for (int i = 0; i < 4; ++i) request[1 + i] = static_cast<uint8_t>(length >> (8 * i));
        startLength = 5;
    }
    // Judged by the answer's length alone: the BMC may answer in any state.
    if (failed(taskRequest(c, request, startLength, answer, &inlen, policy(0, 1, kTaskStarted, 0), &task)))
        return StepResult::Failed;
    c.taskId = task.taskId;
    c.taskState = task.taskState;

    if (stopRequested(c)) return StepResult::Failed;
    request[0] = controlByte(c.taskId, kOpStatus);
    if (failed(taskRequest(c, request, 1, answer, &inlen, policy(2, 1, kTaskReady, 5), &task)))
        return StepResult::Failed;
    const int32_t needed = c.mode == kModeBackup ? kStatusAnswerBackup : kStatusAnswerRestore;
    if (inlen < needed) {
        console.print("Error : Status answer too short. Expected : %d bytes, Received : %d bytes\n",
                      static_cast<int>(needed), static_cast<int>(inlen));
        return StepResult::Failed;
    }
    c.sequence = answerSequence(answer);
    if (c.mode == kModeBackup) c.totalLength = littleEndianField(answer + 4, 4);
    return StepResult::Ok;
}

StepResult transferConfigBlocks(ConfigTransfer* context) {
    BlockTransfer transfer(*context);
    return transfer.run();
}

StepResult completeConfigRestore(ConfigTransfer*) { return StepResult::Ok; }

StepResult finishConfigTransfer(ConfigTransfer* context) {
    ConfigTransfer& c = *context;
    if (c.taskState != kTaskFailState) return StepResult::Ok;
    uint8_t request[1] = {controlByte(c.taskId, kOpBlock)};
    uint8_t answer[kAnswerSize] = {};
    int32_t inlen = 0;
    TaskStatus task;
    return taskRequest(c, request, 1, answer, &inlen, policy(0, 0, 0, 5), &task);
}

const TransferModuleTable kTransferModules = {
    {"config", 1, prepareConfigTransfer, transferConfigBlocks, completeConfigRestore, finishConfigTransfer},
    {nullptr, 0, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace korvex
