// The fault matrix rig: the whole tool over the simulated KCS interface, with
// files that count opens and closes and can be told to fail, and golden texts
// holding the whole console text after the banner and the echoed command line.
// KORVEX_GOLDEN_UPDATE=1 rewrites the golden texts instead of comparing
// (review the difference before committing it).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/loopback.h"
#include "transport/job_result.h"

namespace korvex::test {

// The hosted file system behind a count of open files, with failures on
// demand: writes fail once a file has taken writeLimit bytes, reads once
// readLimit bytes were read, a staged file's keep() fails.
class CountingFiles final : public FileSystem {
public:
    File* open(const char* name, const char* mode) override;
    StagedFile* createStaged(const char* name) override;
    hosted::StdioFileSystem inner;
    size_t writeLimit = SIZE_MAX;
    size_t readLimit = SIZE_MAX;
    bool failKeep = false;
    // Names opened as other paths: a test's own kcs.cfg, away from the
    // folder other tests share.
    std::map<std::string, std::string> redirect;
    int opens = 0;
    int openNow = 0;

private:
    StagedFile* count(File* file, StagedFile* staged);
};

// One run against a simulated server: of the whole tool over its KCS
// interface (run), or of one job through transport, which hands each request
// straight to the BMC (platform).
struct FaultRun {
    CaptureConsole console;
    CountingFiles files;
    CountingMemory memory;
    bmc::SimMachine machine{console, files, memory};
    FakeStops stops{machine.bmc};
    LoopbackTransport transport{machine.bmc};

    Platform platform() {
        machine.setStops(stops);
        return machine.platform();
    }

    void options(const std::vector<std::string>& bmcOptions) {
        for (const std::string& o : bmcOptions) {
            std::string error;
            ASSERT_TRUE(machine.applyOption(o, &error)) << error;
        }
    }
    // The tool with these arguments, over the KCS interface.
    JobResult run(const std::vector<std::string>& args);
    // The console text after the banner and the echoed command line.
    std::string after() const { return console.text.substr(std::min(console.text.size(), prefix_)); }

private:
    size_t prefix_ = 0;
};

// Compares text with the section NAME of tests/faults/golden.txt, in which
// the token @FILE@ stands for file (the scratch names differ from run to run)
// and a run of repeated lines or blocks of lines is the block once, then
// "@ N times@".
void expectGolden(const std::string& name, const std::string& text, const std::string& file = "");

// Names in path's folder that begin with path's own name and are not it:
// what a staged file leaves behind if it is neither kept nor deleted.
std::vector<std::string> leftBeside(const std::string& path);

}  // namespace korvex::test
