// A stdio-like buffered stream over a file that the firmware reads and
// writes in whole calls (the UEFI Shell's file functions). One buffer is
// either a clean copy of a stretch of the file (after reads) or data not yet
// written (after writes), so byte-by-byte use costs one firmware call per
// buffer, not per byte. Kept free of firmware types so the host can test it,
// and defined in this header so that the class has no key function: the
// tool is built without RTTI, its tests with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace korvex {

class BufferedFile : public File {
public:
    static constexpr size_t kBufferSize = 16 * 1024;

    BufferedFile(bool readable, bool writable) : readable_(readable), writable_(writable) {}

    size_t read(void* buffer, size_t count) override;
    size_t write(const void* data, size_t count) override;
    int seek(int64_t offset, SeekFrom whence) override;
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int flush() override { return writeOut() ? 0 : -1; }
    bool eof() override { return eof_; }
    bool error() override { return error_; }
    // Writes what is pending, closes the file and destroys this object.
    int close() override;

protected:
    ~BufferedFile() = default;
    // The firmware's side: whole reads and writes at a position; each returns
    // false on failure. *count holds the bytes asked for and receives the
    // bytes done.
    virtual bool readAt(uint64_t position, void* buffer, size_t* count) = 0;
    virtual bool writeAt(uint64_t position, const void* data, size_t* count) = 0;
    virtual bool size(uint64_t* bytes) = 0;
    // Closes the file and destroys this object.
    virtual bool release() = 0;

private:
    bool writeOut();
    bool fill();
    bool buffered(uint64_t at) const { return at >= start_ && at < start_ + length_; }

    bool readable_;
    bool writable_;
    bool eof_ = false;
    bool error_ = false;
    bool dirty_ = false;  // the buffer holds data not yet written
    uint64_t position_ = 0;
    uint64_t start_ = 0;  // file offset of buffer_[0]
    size_t length_ = 0;   // bytes of buffer_ in use
    uint8_t buffer_[kBufferSize];
};

inline bool BufferedFile::writeOut() {
    if (!dirty_) return true;
    dirty_ = false;
    size_t done = length_;
    if (!writeAt(start_, buffer_, &done) || done != length_) {
        error_ = true;
        length_ = 0;
        return false;
    }
    return true;  // the buffer stays, now a clean copy of the file
}

// Loads the stretch of the file that begins at the current position.
inline bool BufferedFile::fill() {
    start_ = position_;
    length_ = 0;
    size_t done = kBufferSize;
    if (!readAt(start_, buffer_, &done) || done > kBufferSize) {
        error_ = true;
        return false;
    }
    length_ = done;
    if (done == 0) eof_ = true;
    return done > 0;
}

inline size_t BufferedFile::read(void* buffer, size_t count) {
    if (!readable_) {
        error_ = true;
        return 0;
    }
    if (!writeOut()) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (!buffered(position_) && !fill()) break;
        const size_t offset = static_cast<size_t>(position_ - start_);
        size_t n = length_ - offset;
        if (n > count - done) n = count - done;
        for (size_t i = 0; i < n; ++i) out[done + i] = buffer_[offset + i];
        done += n;
        position_ += n;
    }
    return done;
}

inline size_t BufferedFile::write(const void* data, size_t count) {
    if (!writable_) {
        error_ = true;
        return 0;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < count) {
        // Data go on the end of what is pending; anything else starts afresh.
        if (!dirty_ || position_ != start_ + length_ || length_ == kBufferSize) {
            if (!writeOut()) break;
            start_ = position_;
            length_ = 0;
            dirty_ = true;
        }
        size_t n = kBufferSize - length_;
        if (n > count - done) n = count - done;
        for (size_t i = 0; i < n; ++i) buffer_[length_ + i] = in[done + i];
        length_ += n;
        done += n;
        position_ += n;
    }
    return done;
}

inline int BufferedFile::seek(int64_t offset, SeekFrom whence) {
    if (!writeOut()) return -1;
    int64_t base = 0;
    if (whence == SeekFrom::Current) {
        base = static_cast<int64_t>(position_);
    } else if (whence == SeekFrom::End) {
        uint64_t bytes = 0;
        if (!size(&bytes) || bytes > static_cast<uint64_t>(INT64_MAX)) {
            error_ = true;
            return -1;
        }
        base = static_cast<int64_t>(bytes);
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
    position_ = static_cast<uint64_t>(base + offset);
    eof_ = false;
    return 0;
}

inline int BufferedFile::close() {
    const bool written = writeOut();
    const bool closed = release();  // destroys this object
    return written && closed ? 0 : -1;
}

}  // namespace korvex
