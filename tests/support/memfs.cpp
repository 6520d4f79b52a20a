#include "support/memfs.h"

#include <algorithm>
#include <cstring>

namespace korvex::test {

namespace {

// A file's bytes in the map; a staged one (staged_ set) is NAME.incomplete until the job decides.
class MemFile final : public StagedFile {
public:
    MemFile(MemFs& fs, const std::string& name, size_t readErrorAt, const char* staged)
        : fs_(fs), name_(name), data_(fs.files[name]), readErrorAt_(readErrorAt), staged_(staged) {}

    size_t read(void* buffer, size_t count) override {
        const size_t limit = std::min(data_.size(), readErrorAt_);
        const size_t n = pos_ < limit ? std::min(count, limit - pos_) : 0;
        if (n > 0) std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        if (n < count) (pos_ >= data_.size() ? eof_ : error_) = true;
        return n;
    }
    size_t write(const void* data, size_t count) override {
        if (fs_.onWrite) fs_.onWrite(static_cast<const uint8_t*>(data), count);
        if (count > fs_.failWritesAfter - written_) error_ = true;
        if (error_) return 0;
        written_ += count;
        if (data_.size() < pos_ + count) data_.resize(pos_ + count);
        std::memcpy(data_.data() + pos_, data, count);
        pos_ += count;
        return count;
    }
    int seek(int64_t offset, SeekFrom whence) override {
        if (fs_.sizeless && whence == SeekFrom::End) return -1;
        const size_t base = whence == SeekFrom::Start ? 0 : whence == SeekFrom::Current ? pos_ : data_.size();
        if (static_cast<int64_t>(base) + offset < 0) return -1;
        pos_ = static_cast<size_t>(static_cast<int64_t>(base) + offset);
        eof_ = false;
        return 0;
    }
    int64_t tell() override { return fs_.negativeTell ? -1 : static_cast<int64_t>(pos_); }
    int flush() override { return 0; }
    bool eof() override { return eof_; }
    bool error() override { return error_; }
    bool keep() override {
        const bool kept = !error_;
        if (kept) fs_.files[staged_] = data_;
        discard();
        return kept;
    }
    void discard() override {  // close(), for a plain file
        if (!staged_.empty()) fs_.files.erase(name_);
        --fs_.openNow;
        delete this;
    }

private:
    MemFs& fs_;
    std::string name_;
    std::string& data_;
    size_t readErrorAt_;
    std::string staged_;
    size_t pos_ = 0;
    size_t written_ = 0;
    bool eof_ = false;
    bool error_ = false;
};

}  // namespace

StagedFile* MemFs::createStaged(const char* name) {
    if (failOpen.count(name) != 0) return nullptr;
    const std::string temporary = std::string(name) + ".incomplete";
    files[temporary].clear();
    ++openNow;
    return new MemFile(*this, temporary, SIZE_MAX, name);
}

File* MemFs::open(const char* name, const char* mode) {
    const std::string m(mode);
    const bool writing = m == "wb" || m == "wb+";
    if (failOpen.count(name) != 0 || (!writing && m != "r" && m != "rb")) return nullptr;
    if (!writing && files.count(name) == 0) return nullptr;
    if (writing) files[name].clear();
    ++openNow;
    return new MemFile(*this, name, failReadAfter.count(name) != 0 ? readErrorAt : SIZE_MAX, "");
}

}  // namespace korvex::test
