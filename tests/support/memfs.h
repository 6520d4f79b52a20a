// An in-memory FileSystem: files are byte strings by name, so a test can
// give the tool a kcs.cfg (or any file) without touching the disk, make an
// open or a read fail, and see that every file it opened was closed.
#pragma once

#include <map>
#include <set>
#include <string>

#include "platform/platform.h"

namespace korvex::test {

class MemFs final : public FileSystem {
public:
    // Modes "r"/"rb" read an existing file; "wb"/"wb+" create or truncate.
    File* open(const char* name, const char* mode) override;

    std::map<std::string, std::string> files;
    std::set<std::string> failOpen;       // names whose open fails
    std::set<std::string> failReadAfter;  // names whose reads fail once this many bytes...
    size_t readErrorAt = 0;               // ...have been read
    int opens = 0;
    int openNow = 0;  // opened and not yet closed
};

}  // namespace korvex::test
