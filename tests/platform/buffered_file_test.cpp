// The stream Korvex.efi puts on the shell's files: the dump writes it a byte
// at a time with "wb+", the update reads it in blocks, the restore takes its
// size with a seek to the end. Here it runs over a file held in memory.
#include "platform/buffered_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace {

using korvex::SeekFrom;
using Bytes = std::vector<uint8_t>;

struct Disk {
    Bytes bytes;
    int reads = 0, writes = 0;
    bool failWrites = false, closed = false;
};

class MemoryFile final : public korvex::BufferedFile {
public:
    MemoryFile(Disk& disk, bool readable, bool writable) : BufferedFile(readable, writable), disk_(disk) {}

protected:
    bool readAt(uint64_t position, void* buffer, size_t* count) override {
        ++disk_.reads;
        const size_t n = position >= disk_.bytes.size() ? 0 : std::min<size_t>(*count, disk_.bytes.size() - position);
        if (n > 0) std::memcpy(buffer, disk_.bytes.data() + position, n);
        *count = n;
        return true;
    }
    bool writeAt(uint64_t position, const void* data, size_t* count) override {
        ++disk_.writes;
        if (disk_.failWrites) return false;
        if (disk_.bytes.size() < position + *count) disk_.bytes.resize(position + *count);
        std::memcpy(disk_.bytes.data() + position, data, *count);
        return true;
    }
    bool size(uint64_t* bytes) override { return *bytes = disk_.bytes.size(), true; }
    bool release() override {
        disk_.closed = true;
        delete this;
        return true;
    }

private:
    Disk& disk_;
};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return b;
}

TEST(BufferedFile, ByteByByteCostsOneFirmwareCallPerBuffer) {
    const Bytes data = pattern(40000);
    Disk disk;
    auto* out = new MemoryFile(disk, false, true);
    for (uint8_t b : data) ASSERT_EQ(out->write(&b, 1), 1u);
    EXPECT_EQ((std::tuple{out->tell(), out->close(), disk.closed, disk.writes}), std::tuple(40000, 0, true, 3));
    EXPECT_EQ(disk.bytes, data);  // 16 KiB, 16 KiB, the rest at close
    auto* in = new MemoryFile(disk, true, false);
    Bytes back;
    for (uint8_t b; in->read(&b, 1) == 1;) back.push_back(b);
    EXPECT_EQ(back, data);  // three buffers and the one that finds the end
    EXPECT_EQ((std::tuple{in->eof(), in->error(), disk.reads, in->close()}), std::tuple(true, false, 4, 0));
}

// "wb+": what was written reads back after a seek, and the size seen at the
// end includes what is still in the buffer. Overwriting the middle of a
// stretch that was read: later reads see the new bytes, the rest is kept.
TEST(BufferedFile, ReadsAndWritesMix) {
    Disk disk;
    disk.bytes = pattern(1000);
    auto* f = new MemoryFile(disk, true, true);
    const uint8_t patch[5] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    uint8_t head[10], next[3], again[5], last[5];
    EXPECT_EQ(f->read(head, sizeof head), 10u);
    EXPECT_EQ(f->write(patch, sizeof patch), 5u);
    EXPECT_EQ(f->read(next, sizeof next), 3u);
    EXPECT_EQ(next[0], disk.bytes[15]);
    EXPECT_EQ(f->seek(-8, SeekFrom::Current), 0);
    EXPECT_EQ(f->read(again, sizeof again), 5u);
    EXPECT_EQ(f->seek(0, SeekFrom::End), 0);
    EXPECT_EQ(f->write(patch, sizeof patch), 5u);
    EXPECT_EQ(f->seek(0, SeekFrom::End), 0);
    EXPECT_EQ(f->tell(), 1005);
    EXPECT_EQ(f->seek(-5, SeekFrom::Current), 0);
    EXPECT_EQ(f->read(last, sizeof last), 5u);
    EXPECT_TRUE(std::memcmp(again, patch, 5) == 0 && std::memcmp(last, patch, 5) == 0);
    EXPECT_EQ(f->close(), 0);
    Bytes expected = pattern(1000);
    std::memcpy(expected.data() + 10, patch, 5);
    expected.insert(expected.end(), patch, patch + 5);
    EXPECT_EQ(disk.bytes, expected);
}

// What the mode does not allow, bad seeks, and writes the firmware refuses
// (reported by flush and by close, not passed off as done).
TEST(BufferedFile, RefusalsAndFailures) {
    Disk disk;
    disk.bytes = pattern(10);
    auto* reader = new MemoryFile(disk, true, false);
    uint8_t b = 1;
    EXPECT_EQ((std::tuple{reader->write(&b, 1), reader->error()}), std::tuple(0u, true));
    EXPECT_EQ((std::tuple{reader->seek(-11, SeekFrom::End), reader->tell()}), std::tuple(-1, 0));
    EXPECT_EQ(reader->seek(INT64_MAX, SeekFrom::Start), 0);
    EXPECT_EQ(reader->seek(1, SeekFrom::Current), -1);
    EXPECT_EQ(reader->close(), 0);
    auto* writer = new MemoryFile(disk, false, true);
    EXPECT_EQ((std::tuple{writer->read(&b, 1), writer->error(), writer->close()}), std::tuple(0u, true, 0));
    EXPECT_EQ(disk.bytes, pattern(10));

    Disk failing;
    failing.failWrites = true;
    auto* f = new MemoryFile(failing, true, true);
    const Bytes data = pattern(50);
    EXPECT_EQ(f->write(data.data(), data.size()), 50u);  // still in the buffer
    EXPECT_EQ((std::tuple{f->flush(), f->error()}), std::tuple(-1, true));
    EXPECT_EQ(f->write(data.data(), data.size()), 50u);
    EXPECT_EQ((std::tuple{f->close(), failing.closed, failing.bytes.empty()}), std::tuple(-1, true, true));
}

}  // namespace
