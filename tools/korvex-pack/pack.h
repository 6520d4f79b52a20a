// korvex-pack's commands as a function of the arguments and an Io, so that
// the program, the tests and the fuzz target run the same code. Nothing here
// exits or touches a file except through the Io.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::pack {

using Bytes = std::vector<uint8_t>;

// No file korvex-pack reads or writes may be larger: the tool's packages and
// the BMC's flash are 32 MiB, and twice that leaves room for odd packages
// while keeping a mistaken /dev/zero or disk image from eating the memory.
inline constexpr uint64_t kFileCap = 64 * 1024 * 1024;

class Io {
public:
    virtual void out(std::string_view text) = 0;  // the report
    virtual void err(std::string_view text) = 0;  // the one-line error
    // The whole of the regular file at path, no larger than cap bytes; else
    // false with why set ("it is a folder", ...).
    virtual bool read(const std::string& path, uint64_t cap, Bytes* bytes, std::string* why) = 0;
    // Puts bytes at path whole or not at all: when it fails, a file already
    // at path stays as it was.
    virtual bool write(const std::string& path, const Bytes& bytes, std::string* why) = 0;

protected:
    ~Io() = default;
};

// Runs one command line (argv[0] is the program's name). Exit status: 0 done,
// 1 a package the tool refuses (inspect) or a dump that differs
// (verify-dump), 2 anything else, after one line on io.err.
int run(int argc, char** argv, Io& io, uint64_t cap = kFileCap);

}  // namespace korvex::pack
