// What the fuzz targets share: a silent console, the input read front to
// back, a BMC whose every answer comes from the input, and a job's platform
// on virtual time with in-memory files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bmc/sim_machine.h"
#include "support/capture.h"
#include "support/memfs.h"
#include "transport/transport.h"

namespace korvex::fuzz {

class NullConsole final : public Console {
public:
    void vprint(const char*, va_list) override {}
    void flush() override {}
    int readChar() override { return -1; }
};

// The argv of a command line; the strings must outlive it.
inline std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}

inline bool terminatedWithin(const char* field, size_t size) { return std::memchr(field, 0, size) != nullptr; }

// Past its end every read gives the fallback.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte(uint8_t fallback = 0) { return pos_ < size_ ? data_[pos_++] : fallback; }
    size_t take(uint8_t* out, size_t count) {
        const size_t n = std::min(count, size_ - std::min(pos_, size_));
        if (n > 0) std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Each answer: a header byte (0xFF broken while reading, 0xFE broken while
// writing, 0xFD a completion code from the next byte, anything else code 0;
// with 0x40 set, bytes 1-3 of the answer are the request's 24-bit number plus
// one, so that a block can be accepted without the fuzzer guessing it), a
// length byte (0-125) and the data. A spent input breaks every exchange; a
// run that goes on for 200,000 requests would not end, and aborts.
class ScriptedBmc final : public Transport {
public:
    explicit ScriptedBmc(InputReader& input) : input_(input) {}
    int open() override { return 0; }
    int close() override { return 0; }
    ExchangeResult exchange(uint8_t netFnLun, uint8_t command, const uint8_t* request, int32_t requestLength,
                            uint8_t* response) override {
        if (++exchanges > 200000 || requestLength < 0 || requestLength > 62) std::abort();
        if (onRequest) onRequest(netFnLun, command, request, requestLength);
        answerLength = 0;
        lastResult = -1;
        const uint8_t header = input_.byte(0xFF);
        if (header == 0xFE) return ExchangeResult::writeFailure();
        if (header == 0xFF) return ExchangeResult::readFailure();
        const int code = header == 0xFD ? input_.byte() : 0;
        answerLength = input_.byte() % 126;
        std::memset(answer, 0, sizeof answer);
        input_.take(answer, static_cast<size_t>(answerLength));
        if ((header & 0x40) != 0 && header != 0xFD && answerLength >= 4 && requestLength >= 4) {
            const uint32_t number = (request[1] | request[2] << 8 | request[3] << 16) + 1u;
            for (int i = 0; i < 3; ++i) answer[1 + i] = static_cast<uint8_t>(number >> (8 * i));
        }
        std::memcpy(response, answer, static_cast<size_t>(answerLength));
        lastResult = code;
        ++answerSerial;
        return ExchangeResult::answer(static_cast<uint8_t>(code), answerLength);
    }

    std::function<void(uint8_t, uint8_t, const uint8_t*, int32_t)> onRequest;
    size_t exchanges = 0;
    int lastResult = -1;  // of the latest exchange
    uint8_t answer[125] = {};
    int32_t answerLength = 0;
    size_t answerSerial = 0;  // counts answers received, to tell one from the next

private:
    InputReader& input_;
};

// Memory that counts what is left held, and nothing that asks the job to stop.
struct SimPlatform {
    NullConsole console;
    test::MemFs files;
    test::CountingMemory memory;
    bmc::SimMachine machine{console, files, memory};
};

}  // namespace korvex::fuzz
