// An in-memory FileSystem: files are byte strings by name, so a test can
// give the tool a kcs.cfg (or any file) without touching the disk, make an
// open, a read or a write fail, and see that every file it opened was closed.
// The fuzz targets use it too.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "platform/platform.h"

namespace korvex::test {

class MemFs final : public FileSystem {
public:
    // Modes "r"/"rb" read an existing file; "wb"/"wb+" create or truncate.
    File* open(const char* name, const char* mode) override;
    // Writes NAME.incomplete, which keep() moves onto NAME.
    StagedFile* createStaged(const char* name) override;

    std::map<std::string, std::string> files;
    std::set<std::string> failOpen;       // names whose open (or staged creation) fails
    std::set<std::string> failReadAfter;  // names whose reads fail once this many bytes...
    size_t readErrorAt = 0;               // ...have been read
    size_t failWritesAfter = SIZE_MAX;    // bytes a file takes before its writes fail
    bool sizeless = false;                // a file's size cannot be had: seeking to the end fails
    bool negativeTell = false;            // positions read -1
    // Shown every write first, so a caller can check where the bytes came from.
    std::function<void(const uint8_t*, size_t)> onWrite;
    int openNow = 0;  // opened and not yet closed
};

}  // namespace korvex::test
