#include "support/memfs.h"

#include <algorithm>
#include <cstring>

namespace korvex::test {

namespace {

class MemFile final : public File {
public:
    MemFile(MemFs& fs, std::string& data, bool readable, bool writable, size_t readErrorAt)
        : fs_(fs), data_(data), readable_(readable), writable_(writable), readErrorAt_(readErrorAt) {}

    size_t read(void* buffer, size_t count) override {
        if (!readable_) {
            error_ = true;
            return 0;
        }
        size_t limit = std::min(data_.size(), readErrorAt_);
        size_t n = pos_ < limit ? std::min(count, limit - pos_) : 0;
        if (n > 0) std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        if (n < count) {
            if (pos_ >= data_.size())
                eof_ = true;
            else
                error_ = true;
        }
        return n;
    }
    size_t write(const void* data, size_t count) override {
        if (!writable_) {
            error_ = true;
            return 0;
        }
        if (fs_.onWrite) fs_.onWrite(static_cast<const uint8_t*>(data), count);
        if (count > fs_.failWritesAfter - written_) {
            error_ = true;
            return 0;
        }
        written_ += count;
        if (data_.size() < pos_ + count) data_.resize(pos_ + count);
        std::memcpy(data_.data() + pos_, data, count);
        pos_ += count;
        return count;
    }
    int seek(int64_t offset, SeekFrom whence) override {
        if (fs_.sizeless && whence == SeekFrom::End) return -1;
        int64_t base = whence == SeekFrom::Start     ? 0
                       : whence == SeekFrom::Current ? int64_t(pos_)
                                                     : int64_t(data_.size());
        if (base + offset < 0) return -1;
        pos_ = static_cast<size_t>(base + offset);
        eof_ = false;
        return 0;
    }
    int64_t tell() override { return fs_.negativeTell ? -1 : static_cast<int64_t>(pos_); }
    int flush() override { return 0; }
    bool eof() override { return eof_; }
    bool error() override { return error_; }
    int close() override {
        --fs_.openNow;
        delete this;
        return 0;
    }

private:
    MemFs& fs_;
    std::string& data_;
    bool readable_;
    bool writable_;
    size_t readErrorAt_;
    size_t pos_ = 0;
    size_t written_ = 0;
    bool eof_ = false;
    bool error_ = false;
};

// Data written to NAME.incomplete until the job decides.
class MemStaged final : public StagedFile {
public:
    MemStaged(MemFs& fs, std::string name, File* inner) : fs_(fs), name_(std::move(name)), inner_(inner) {}
    size_t read(void* buffer, size_t count) override { return inner_->read(buffer, count); }
    size_t write(const void* data, size_t count) override { return inner_->write(data, count); }
    int seek(int64_t offset, SeekFrom whence) override { return inner_->seek(offset, whence); }
    int64_t tell() override { return inner_->tell(); }
    int flush() override { return inner_->flush(); }
    bool eof() override { return inner_->eof(); }
    bool error() override { return inner_->error(); }
    bool keep() override {
        const bool kept = !inner_->error();
        if (kept) fs_.files[name_] = fs_.files[temporary()];
        discard();
        return kept;
    }
    void discard() override {
        inner_->close();
        fs_.files.erase(temporary());
        delete this;
    }
    std::string temporary() const { return name_ + ".incomplete"; }

private:
    MemFs& fs_;
    std::string name_;
    File* inner_;
};

}  // namespace

StagedFile* MemFs::createStaged(const char* name) {
    if (failOpen.count(name) != 0) return nullptr;
    File* inner = open((std::string(name) + ".incomplete").c_str(), "wb");
    return inner != nullptr ? new MemStaged(*this, name, inner) : nullptr;
}

File* MemFs::open(const char* name, const char* mode) {
    const std::string key(name);
    const std::string m(mode);
    if (failOpen.count(key) != 0) return nullptr;
    const bool reading = m == "r" || m == "rb";
    const bool writing = m == "wb" || m == "wb+";
    if (!reading && !writing) return nullptr;
    auto it = files.find(key);
    if (reading && it == files.end()) return nullptr;
    if (writing) {
        files[key].clear();
        it = files.find(key);
    }
    const size_t errorAt = failReadAfter.count(key) != 0 ? readErrorAt : SIZE_MAX;
    ++openNow;
    return new MemFile(*this, it->second, reading || m == "wb+", writing, errorAt);
}

}  // namespace korvex::test
