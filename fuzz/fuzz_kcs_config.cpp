// kcs.cfg with arbitrary content: the reader must end, stay inside its token
// buffer and give port numbers of 16 bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "transport/kcs.h"

namespace {

class InputFile final : public korvex::File {
public:
    InputFile(const uint8_t* data, size_t size, bool* closed) : data_(data), size_(size), closed_(closed) {}
    size_t read(void* buffer, size_t count) override {
        const size_t n = pos_ + count <= size_ ? count : size_ - pos_;
        if (n > 0) std::memcpy(buffer, data_ + pos_, n);
        pos_ += n;
        return n;
    }
    size_t write(const void*, size_t) override { return 0; }
    int seek(int64_t, korvex::SeekFrom) override { return -1; }
    int64_t tell() override { return static_cast<int64_t>(pos_); }
    int flush() override { return 0; }
    bool eof() override { return pos_ >= size_; }
    bool error() override { return false; }
    int close() override {
        *closed_ = true;
        return 0;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool* closed_;
};

class OneFile final : public korvex::FileSystem {
public:
    explicit OneFile(InputFile& file) : file_(file) {}
    korvex::File* open(const char*, const char*) override { return &file_; }
    korvex::StagedFile* createStaged(const char*) override { return nullptr; }

private:
    InputFile& file_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool closed = false;
    InputFile file(data, size, &closed);
    OneFile files(file);
    korvex::KcsPortSet ports;
    korvex::readKcsPortSet(files, &ports);
    for (int64_t port : {ports.command, ports.status, ports.data})
        if (port < 0 || port > 0xFFFF) std::abort();
    if (ports.command != ports.status || !closed) std::abort();
    return 0;
}
