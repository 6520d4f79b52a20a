// kcs.cfg as korvex on Linux takes it. As root, the file picks the I/O ports
// that the tool drives, so it is read once, before the run, and only when it
// is a small regular file that nobody but root or the user running korvex can
// have written. The run's port reader then gets those very bytes: the file
// cannot change between the check and the run.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace korvex::linuxhost {

// The whole file is two keywords and two numbers, about 16 bytes; 4 KiB
// leaves room for any layout or notes beside them and keeps a mistaken file
// (a log, a disk image) from being read at all.
inline constexpr size_t kKcsCfgLimit = 4096;

// The front end's file system for the run: every file as the underlying one
// has it, except the port reader's "kcs.cfg", which is served from the bytes
// that load() checked (or reported absent if it found none).
class CheckedKcsCfg final : public FileSystem {
public:
    explicit CheckedKcsCfg(FileSystem& files) : files_(files) {}

    // Reads kcs.cfg from the current directory. True when there is none or
    // it passes; otherwise prints one line on err saying why and returns false.
    // user: besides root, the owner the file may have.
    bool load(uid_t user, FILE* err);
    bool present() const { return present_; }

    File* open(const char* name, const char* mode) override;
    StagedFile* createStaged(const char* name) override { return files_.createStaged(name); }

private:
    FileSystem& files_;
    bool present_ = false;
    std::string bytes_;
};

}  // namespace korvex::linuxhost
