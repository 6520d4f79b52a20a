// The BMC's configuration transfer task: reset, start, status, numbered
// blocks and finish, for a backup (the BMC serves its configuration) and a
// restore (the BMC collects a new one), with faults for every answer a BMC
// can get wrong.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class ConfigModule final : public BmcModule {
public:
    ConfigModule();
    void install(SimBmc& bmc) override;
    KnobResult setKnob(std::string_view name, std::string_view value, std::string* error) override;
    std::string knobHelp() const override;
    bool finish(std::string* error) override;

    // The BMC's IPMI configuration: served by a backup, replaced by a completed restore.
    const std::vector<uint8_t>& configuration() const { return configuration_; }
    void setConfiguration(std::vector<uint8_t> bytes) { configuration_ = std::move(bytes); }
    uint64_t finishRequests() const { return finishRequests_; }
    uint64_t blockRequests() const { return blockRequests_; }
    // How often a restore's collected bytes became the configuration: once
    // per completed restore, however many blocks it took.
    uint64_t commits() const { return commits_; }

    static constexpr uint8_t kStateReset = 0;
    static constexpr uint8_t kStateStarted = 1;
    static constexpr uint8_t kStateReady = 2;
    static constexpr uint8_t kStateFailed = 5;

private:
    enum class Task : uint8_t { None, Backup, Restore };

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
    KnobResult setFault(std::string_view value, std::string* error);

    // Knobs.
    std::vector<uint8_t> configuration_;
    std::string saveTo_;
    uint64_t firstSequence_ = 0;
    uint64_t blockSize_ = 64;
    // Faults: block numbers count the block requests of a task from 1.
    bool startFails_ = false;
    bool neverReady_ = false;
    uint64_t statusLength_ = 0;  // 0: the whole status answer
    bool totalSet_ = false;
    uint64_t total_ = 0;  // announced backup length
    uint64_t failAt_ = 0;
    uint64_t badSequenceAt_ = 0;
    uint64_t otherTaskAt_ = 0;
    uint64_t dropAt_ = 0;
    uint64_t shortBlockAt_ = 0;
    uint64_t noDataAt_ = 0, noDataCount_ = 0;
    uint64_t stateAt_ = 0, stateCount_ = 0, heldState_ = 0;
    // The task.
    Task task_ = Task::None;
    uint8_t taskId_ = 0;
    uint8_t state_ = kStateReset;
    uint8_t lastTaskId_ = 0;
    uint64_t sequence_ = 0;
    uint64_t offset_ = 0;
    uint64_t lastOffset_ = 0;  // where the last block served began
    bool served_ = false;      // a block has been numbered in this task
    uint64_t expected_ = 0;  // restore length announced by the host
    std::vector<uint8_t> collected_;
    bool committed_ = false;  // this restore's bytes are the configuration now
    uint64_t commits_ = 0;
    uint64_t taskBlocks_ = 0;
    uint64_t blockRequests_ = 0;
    uint64_t finishRequests_ = 0;
};

}  // namespace korvex::bmc
