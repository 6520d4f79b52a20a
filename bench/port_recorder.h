// A port bus wrapper that passes every access on, keeps it for a replay if
// asked to, and splits the stream into exchanges by what the KCS protocol
// shows: a request starts with WRITE_START, its command is the second data
// byte, the read transfer begins with the read state and ends with the data
// read after the idle state. Each exchange is tallied against the floor of
// the protocol: 4N+8 accesses for a request of N bytes, 5R+4 for a response
// of R bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "transport/kcs.h"

namespace korvex::bench {

inline constexpr uint16_t kDataPort = 0xCA2;
inline constexpr uint16_t kStatusPort = 0xCA3;

struct ExchangeTally {
    uint64_t exchanges = 0;
    uint64_t accesses = 0;
    uint64_t floor = 0;
    uint64_t worst = 0;          // most accesses any one exchange took
    uint64_t requestBytes = 0;   // N summed
    uint64_t responseBytes = 0;  // R summed

    void add(const ExchangeTally& o) {
        exchanges += o.exchanges;
        accesses += o.accesses;
        floor += o.floor;
        worst = std::max(worst, o.worst);
        requestBytes += o.requestBytes;
        responseBytes += o.responseBytes;
    }
    double perExchange() const {
        return exchanges == 0 ? 0 : static_cast<double>(accesses) / static_cast<double>(exchanges);
    }
    double floorPerExchange() const {
        return exchanges == 0 ? 0 : static_cast<double>(floor) / static_cast<double>(exchanges);
    }
    double ratio() const { return floor == 0 ? 0 : static_cast<double>(accesses) / static_cast<double>(floor); }
};

class RecordingPorts final : public PortIo {
public:
    // Port accesses as one byte each (and the value of a write after it):
    // what a replay needs, nothing more.
    enum Op : uint8_t { kReadStatus, kReadData, kWriteCommand, kWriteData };

    // Keys of the tallies: the command byte; a configuration block request
    // (command 0x20, operation 3 in its first data byte) apart from the rest.
    static constexpr unsigned kConfigBlock = 0x120;

    explicit RecordingPorts(PortIo& inner, size_t keepOps = 0) : inner_(inner), keep_(keepOps > 0) {
        ops_.reserve(keepOps);
    }

    uint8_t in8(uint16_t port) override {
        const uint8_t value = inner_.in8(port);
        ++pending_;
        if (port == kStatusPort) {
            keep(kReadStatus);
            const uint8_t state = value & 0xC0;
            if (state == 0x40) readPhase_ = true;
            if (readPhase_ && state == 0x00) idleSeen_ = true;
        } else {
            keep(kReadData);
            if (idleSeen_) endExchange();
        }
        return value;
    }

    void out8(uint16_t port, uint8_t value) override {
        inner_.out8(port, value);
        ++pending_;
        if (port == kStatusPort) {
            keep(kWriteCommand);
            if (value == kcs::kWriteStart) startExchange();
        } else {
            keep(kWriteData);
            if (readPhase_) {
                ++responseBytes_;  // one READ per response byte
            } else {
                ++requestBytes_;
                if (requestBytes_ == 2) key_ = value;
                if (requestBytes_ == 3 && key_ == 0x20 && (value & 0x0F) == 3) key_ = kConfigBlock;
            }
        }
        keep(value);
    }

    const std::vector<uint8_t>& ops() const { return ops_; }
    const ExchangeTally& tally(unsigned key) const { return tallies_[key]; }
    ExchangeTally allBut(unsigned key) const {
        ExchangeTally t;
        for (unsigned k = 0; k < kKeys; ++k)
            if (k != key) t.add(tallies_[k]);
        return t;
    }

private:
    static constexpr unsigned kKeys = 0x200;

    void keep(uint8_t byte) {
        if (keep_) ops_.push_back(byte);
    }
    void startExchange() {
        requestBytes_ = 0;
        responseBytes_ = 0;
        readPhase_ = false;
        idleSeen_ = false;
        key_ = 0;
    }
    void endExchange() {
        ExchangeTally& t = tallies_[key_];
        ++t.exchanges;
        t.accesses += pending_;
        t.worst = std::max(t.worst, pending_);
        t.floor += 4 * requestBytes_ + 8 + 5 * responseBytes_ + 4;
        t.requestBytes += requestBytes_;
        t.responseBytes += responseBytes_;
        pending_ = 0;
        idleSeen_ = false;
        readPhase_ = false;
    }

    PortIo& inner_;
    bool keep_;
    std::vector<uint8_t> ops_;
    uint64_t pending_ = 0;  // accesses since the last exchange ended
    uint64_t requestBytes_ = 0;
    uint64_t responseBytes_ = 0;
    bool readPhase_ = false;
    bool idleSeen_ = false;
    unsigned key_ = 0;
    ExchangeTally tallies_[kKeys];
};

}  // namespace korvex::bench
