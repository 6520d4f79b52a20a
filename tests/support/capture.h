// Test doubles for the platform: a console that keeps everything printed, a
// memory that counts what is still held, and an in-process run of the tool
// against a simulated machine.
#pragma once

#include <cstdarg>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "bmc/sim_machine.h"
#include "platform/hosted/hosted.h"
#include "platform/platform.h"
#include "transport/job_result.h"

namespace korvex {

// A result as a test failure shows it: "{1, Failed}".
void PrintTo(const JobResult& result, std::ostream* out);

}  // namespace korvex

namespace korvex::test {

class CaptureConsole final : public Console {
public:
    void vprint(const char* format, va_list args) override;
    void flush() override { ++flushes; }
    int readChar() override;

    std::string text;
    std::string input;  // characters readChar() hands out, in order
    size_t inputPos = 0;
    std::function<void()> onReadChar;  // what happens while the tool waits for a key
    int flushes = 0;
};

class CountingMemory final : public Memory {
public:
    // Inline, so that the fuzz targets can count with it too.
    void* allocate(size_t size) override {
        if (size == 0 || size > failAbove) return nullptr;
        void* p = std::malloc(size);
        if (p != nullptr) ++live_;
        return p;
    }
    void release(void* block) override {
        if (block == nullptr) return;
        --live_;
        std::free(block);
    }
    size_t outstanding() const { return live_; }
    size_t failAbove = SIZE_MAX;  // requests larger than this fail

private:
    size_t live_ = 0;
};

// Stop requests as a signal brings them, at a set point of a job: the stop
// arrives while the BMC takes request number stopAt (0: never), and is then
// answered as the platforms answer it (not while a change holds it). Records
// the commands the BMC took with and without a change under way.
class FakeStops final : public StopRequests {
public:
    explicit FakeStops(bmc::SimBmc& bmc);
    bool beginBmcChange(BmcChange change) override;
    void endBmcChange() override { held = false; }
    bool stopRequested() override { return requested && !held; }

    uint64_t stopAt = 0;
    bool requested = false;
    bool held = false;
    std::vector<uint8_t> heldCommands;  // requests the BMC took while a change was under way
    std::vector<uint8_t> freeCommands;  // and the others

private:
    uint64_t requests_ = 0;
};

// The usage banner as the tool prints it, from the golden file.
std::string goldenBanner();

// A path for a scratch file of the running test, unique to this process, so
// that tests running side by side (ctest -j, several checkouts) never share one.
std::string scratchPath(const std::string& stem);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace korvex::test
