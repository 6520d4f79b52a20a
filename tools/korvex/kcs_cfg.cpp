#include "korvex/kcs_cfg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace korvex::linuxhost {

namespace {

constexpr const char* kName = "kcs.cfg";

// Read-only stream over bytes held in memory.
class BytesFile final : public File {
public:
    explicit BytesFile(const std::string& bytes) : bytes_(bytes) {}
    size_t read(void* buffer, size_t count) override {
        const size_t left = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
        const size_t n = std::min(count, left);
        std::memcpy(buffer, bytes_.data() + position_, n);
        position_ += n;
        if (n < count) eof_ = true;
        return n;
    }
    size_t write(const void*, size_t) override {
        error_ = true;
        return 0;
    }
    int seek(int64_t offset, SeekFrom whence) override {
        const int64_t base = whence == SeekFrom::Start     ? 0
                             : whence == SeekFrom::Current ? static_cast<int64_t>(position_)
                                                           : static_cast<int64_t>(bytes_.size());
        if (offset < -base || offset > INT64_MAX - base) return -1;
        position_ = static_cast<size_t>(base + offset);
        eof_ = false;
        return 0;
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int flush() override { return 0; }
    bool eof() override { return eof_; }
    bool error() override { return error_; }
    int close() override {
        delete this;
        return 0;
    }

private:
    const std::string& bytes_;
    size_t position_ = 0;
    bool eof_ = false;
    bool error_ = false;
};

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// The same rules for what the name shows and for what was opened.
bool acceptable(const struct stat& st, uid_t user, FILE* err) {
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(err, "korvex: kcs.cfg refused: it is %s; it is read only as a regular file\n", kindOf(st.st_mode));
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != user) {
        std::fprintf(err,
                     "korvex: kcs.cfg refused: it is owned by uid %u, not by root or by the user running "
                     "korvex (uid %u)\n",
                     static_cast<unsigned>(st.st_uid), static_cast<unsigned>(user));
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::fprintf(err,
                     "korvex: kcs.cfg refused: others than its owner may write it (mode %04o); "
                     "chmod go-w kcs.cfg\n",
                     static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    return true;
}

}  // namespace

bool CheckedKcsCfg::load(uid_t user, FILE* err) {
    present_ = false;
    bytes_.clear();
    struct stat named {};
    if (lstat(kName, &named) != 0) {
        if (errno == ENOENT) return true;  // no file: the standard ports
        std::fprintf(err, "korvex: kcs.cfg refused: cannot look at it: %s\n", std::strerror(errno));
        return false;
    }
    // Judged by its name first, so that a FIFO or a device is never opened.
    if (!acceptable(named, user, err)) return false;
    const int fd = ::open(kName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) {
            std::fprintf(err, "korvex: kcs.cfg refused: it is a symbolic link; it is read only as a regular file\n");
        } else {
            std::fprintf(err, "korvex: kcs.cfg refused: cannot open it: %s\n", std::strerror(errno));
        }
        return false;
    }
    // The name may have been swapped since: what counts is what was opened.
    struct stat opened {};
    bool ok = true;
    if (fstat(fd, &opened) != 0) {
        std::fprintf(err, "korvex: kcs.cfg refused: cannot look at it: %s\n", std::strerror(errno));
        ok = false;
    } else {
        ok = acceptable(opened, user, err);
    }
    // One byte more than allowed tells a file at the limit from a larger one,
    // and a file that grows while it is read cannot keep the read going.
    char buffer[kKcsCfgLimit + 1];
    size_t total = 0;
    while (ok && total < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + total, sizeof buffer - total);
        if (n == 0) break;
        if (n > 0) {
            total += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            std::fprintf(err, "korvex: kcs.cfg refused: cannot read it: %s\n", std::strerror(errno));
            ok = false;
        }
    }
    ::close(fd);
    if (ok && total > kKcsCfgLimit) {
        std::fprintf(err, "korvex: kcs.cfg refused: it is larger than %zu bytes\n", kKcsCfgLimit);
        ok = false;
    }
    if (!ok) return false;
    bytes_.assign(buffer, total);
    present_ = true;
    return true;
}

File* CheckedKcsCfg::open(const char* name, const char* mode) {
    const bool readOnly = std::strcmp(mode, "r") == 0 || std::strcmp(mode, "rb") == 0;
    if (!readOnly || std::strcmp(name, kName) != 0) return files_.open(name, mode);
    if (!present_) return nullptr;
    return new (std::nothrow) BytesFile(bytes_);
}

}  // namespace korvex::linuxhost
