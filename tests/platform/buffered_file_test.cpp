// The stream Korvex.efi puts on the shell's files: the dump writes it a byte
// at a time with "wb+", the update reads it in blocks, the restore takes its
// size with a seek to the end. Here it runs over a file held in memory.
#include "platform/buffered_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using korvex::BufferedFile;
using korvex::SeekFrom;
using Bytes = std::vector<uint8_t>;

struct Disk {
    Bytes bytes;
    int reads = 0;
    int writes = 0;
    bool failWrites = false;
    bool closed = false;
};

class MemoryFile final : public BufferedFile {
public:
    MemoryFile(Disk& disk, bool readable, bool writable) : BufferedFile(readable, writable), disk_(disk) {}

protected:
    bool readAt(uint64_t position, void* buffer, size_t* count) override {
        ++disk_.reads;
        const size_t size = disk_.bytes.size();
        const size_t n = position >= size ? 0 : std::min<size_t>(*count, size - position);
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
    bool size(uint64_t* bytes) override {
        *bytes = disk_.bytes.size();
        return true;
    }
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
    EXPECT_EQ(out->tell(), 40000);
    EXPECT_EQ(out->close(), 0);
    EXPECT_TRUE(disk.closed);
    EXPECT_EQ(disk.bytes, data);
    EXPECT_EQ(disk.writes, 3);  // 16 KiB, 16 KiB, the rest at close

    auto* in = new MemoryFile(disk, true, false);
    Bytes back;
    uint8_t b;
    while (in->read(&b, 1) == 1) back.push_back(b);
    EXPECT_TRUE(in->eof());
    EXPECT_FALSE(in->error());
    EXPECT_EQ(back, data);
    EXPECT_EQ(disk.reads, 4);  // three buffers and the one that finds the end
    EXPECT_EQ(in->close(), 0);
}

// "wb+": what was written reads back after a seek, and the size seen at the
// end includes what is still in the buffer. Overwriting the middle of a
// stretch that was read: later reads see the new bytes, the rest is kept.
TEST(BufferedFile, ReadsAndWritesMix) {
    Disk disk;
    disk.bytes = pattern(1000);
    auto* f = new MemoryFile(disk, true, true);
    uint8_t head[10];
    ASSERT_EQ(f->read(head, sizeof head), 10u);
    const uint8_t patch[5] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    ASSERT_EQ(f->write(patch, sizeof patch), 5u);
    uint8_t next[3];
    ASSERT_EQ(f->read(next, sizeof next), 3u);
    EXPECT_EQ(next[0], disk.bytes[15]);
    ASSERT_EQ(f->seek(-8, SeekFrom::Current), 0);
    uint8_t again[5];
    ASSERT_EQ(f->read(again, sizeof again), 5u);
    EXPECT_EQ(0, std::memcmp(again, patch, 5));
    ASSERT_EQ(f->seek(0, SeekFrom::End), 0);
    ASSERT_EQ(f->write(patch, sizeof patch), 5u);
    ASSERT_EQ(f->seek(0, SeekFrom::End), 0);
    EXPECT_EQ(f->tell(), 1005);
    ASSERT_EQ(f->seek(-5, SeekFrom::Current), 0);
    ASSERT_EQ(f->read(again, sizeof again), 5u);
    EXPECT_EQ(0, std::memcmp(again, patch, 5));
    EXPECT_EQ(f->close(), 0);
    Bytes expected = pattern(1000);
    std::memcpy(expected.data() + 10, patch, 5);
    expected.insert(expected.end(), patch, patch + 5);
    EXPECT_EQ(disk.bytes, expected);
}

TEST(BufferedFile, RefusesWhatTheModeDoesNotAllowAndBadSeeks) {
    Disk disk;
    disk.bytes = pattern(10);
    auto* reader = new MemoryFile(disk, true, false);
    uint8_t b = 1;
    EXPECT_EQ(reader->write(&b, 1), 0u);
    EXPECT_TRUE(reader->error());
    EXPECT_EQ(reader->seek(-11, SeekFrom::End), -1);
    EXPECT_EQ(reader->tell(), 0);
    EXPECT_EQ(reader->seek(INT64_MAX, SeekFrom::Start), 0);
    EXPECT_EQ(reader->seek(1, SeekFrom::Current), -1);
    EXPECT_EQ(reader->close(), 0);
    EXPECT_EQ(disk.bytes, pattern(10));

    auto* writer = new MemoryFile(disk, false, true);
    EXPECT_EQ(writer->read(&b, 1), 0u);
    EXPECT_TRUE(writer->error());
    EXPECT_EQ(writer->close(), 0);
}

// A write the firmware refuses is reported, by flush and by close, and is
// not passed off as done.
TEST(BufferedFile, FailedWritesAreReported) {
    Disk disk;
    disk.failWrites = true;
    auto* f = new MemoryFile(disk, true, true);
    const Bytes data = pattern(50);
    EXPECT_EQ(f->write(data.data(), data.size()), 50u);  // still in the buffer
    EXPECT_EQ(f->flush(), -1);
    EXPECT_TRUE(f->error());
    EXPECT_EQ(f->write(data.data(), data.size()), 50u);
    EXPECT_EQ(f->close(), -1);
    EXPECT_TRUE(disk.closed);
    EXPECT_TRUE(disk.bytes.empty());
}

}  // namespace
