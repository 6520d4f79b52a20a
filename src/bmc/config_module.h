// The BMC's configuration transfer task: reset, start, status, numbered
// blocks and finish, for a backup (the BMC serves its configuration) and a
// restore (the BMC collects a new one), with faults for every answer a BMC
// can get wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class ConfigModule final : public BmcModule {
public:
    // The answers, by the request they answer.
    enum class Answer : uint8_t { Reset, Start, Status, Block, Finish, Other };
    // A field of an answer's status byte that a knob sets.
    enum class StatusField : uint8_t { TaskState, TaskId, LowBit };

    ConfigModule();
    void install(SimBmc& bmc) override;
    bool finish(std::string* error) override;

    // Set by the knobs (bmc/knobs.cpp) before the run. Block numbers count
    // the block requests of a task from 1; 0 is off.
    struct Knobs {
        std::string saveTo;
        uint64_t firstSequence = 0;
        uint64_t blockSize = 64;
        bool startFails = false;
        bool neverReady = false;
        uint64_t statusLength = 0;      // 0: the whole status answer
        std::optional<uint64_t> total;  // announced backup length; none: what it holds
        uint64_t failAt = 0;
        uint64_t badSequenceAt = 0;
        uint64_t otherTaskAt = 0;
        uint64_t dropAt = 0;
        uint64_t shortBlockAt = 0;
        uint64_t noDataAt = 0, noDataCount = 0;
        uint64_t holdAt = 0, holdCount = 0, heldState = 0;
        // A status byte field forced in the nth answer of its kind (0: every one).
        struct StatusOverride {
            Answer answer;
            StatusField field;
            uint8_t value;
            uint64_t nth;
        };
        std::vector<StatusOverride> overrides;
    } knobs;

    // The BMC's IPMI configuration: served by a backup, replaced by a completed restore.
    const std::vector<uint8_t>& configuration() const { return configuration_; }
    void setConfiguration(std::vector<uint8_t> bytes) { configuration_ = std::move(bytes); }
    uint64_t finishRequests() const { return finishRequests_; }
    uint64_t blockRequests() const { return blockRequests_; }
    // How often a restore's collected bytes became the configuration: once
    // per completed restore, however many blocks it took.
    uint64_t commits() const { return commits_; }

private:
    enum class Task : uint8_t { None, Backup, Restore };

    static Answer kindOf(const Request& request);
    Response answer(const Request& request);
    Response reset();
    Response start(const Request& request);
    Response status(uint8_t taskId);
    Response block(uint8_t taskId, const Request& request);
    Response finishTask(uint8_t taskId);
    Response statusOnly(uint8_t taskId, uint8_t state) const;
    void putSequence(Response* r, uint64_t sequence) const;
    void appendServed(Response* r) const;
    void collect(const Request& request);
    void commit();
    Response repeatLast() const;
    void applyOverrides(Answer kind, Response* r);

    std::vector<uint8_t> configuration_;
    // The task.
    Task task_ = Task::None;
    uint8_t taskId_ = 0;
    uint8_t state_ = kTaskReset;
    uint8_t lastTaskId_ = 0;
    uint64_t sequence_ = 0;
    uint64_t offset_ = 0;
    uint64_t lastOffset_ = 0;  // where the last block served began
    bool served_ = false;      // a block has been numbered in this task
    uint64_t expected_ = 0;    // restore length announced by the host
    std::vector<uint8_t> collected_;
    bool committed_ = false;  // this restore's bytes are the configuration now
    uint64_t commits_ = 0;
    uint64_t taskBlocks_ = 0;
    uint64_t blockRequests_ = 0;
    uint64_t finishRequests_ = 0;
    uint64_t answers_[6] = {};  // answers given so far, by kind
};

}  // namespace korvex::bmc
