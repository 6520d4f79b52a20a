// korvex-pack: builds update packages, shows what the tool's validation finds
// in one, and checks a flash dump against one (see pack.h and --help).
// Footers are enciphered with OpenSSL, so that the tool's own AES is checked
// against an independent implementation every time a package is read back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "pack.h"

namespace {

using korvex::pack::Bytes;

class PosixIo final : public korvex::pack::Io {
public:
    void out(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }
    void err(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stderr); }

    bool read(const std::string& path, uint64_t cap, Bytes* bytes, std::string* why) override {
        // Not blocking: a FIFO is refused below instead of waiting for a writer.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            *why = std::strerror(errno);
            return false;
        }
        const bool ok = readOpen(fd, cap, bytes, why);
        ::close(fd);
        return ok;
    }

    bool write(const std::string& path, const Bytes& bytes, std::string* why) override {
        // Written beside the target and renamed onto it only when whole, so
        // that a failure leaves what was there; the rename replaces a
        // symbolic link at path rather than writing through it.
        std::string temporary = path + ".XXXXXX";
        const int fd = mkstemp(temporary.data());
        if (fd < 0) {
            *why = std::strerror(errno);
            return false;
        }
        const mode_t mask = umask(0);
        umask(mask);
        int error = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
        for (size_t done = 0; error == 0 && done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n == 0 || errno != EINTR)
                error = n == 0 ? EIO : errno;
        }
        if (error == 0 && fsync(fd) != 0) error = errno;
        if (::close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
        if (error == 0) return true;
        *why = std::strerror(error);
        ::unlink(temporary.c_str());
        return false;
    }

private:
    static bool readOpen(int fd, uint64_t cap, Bytes* bytes, std::string* why) {
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            *why = std::strerror(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            *why = "it is a folder";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            *why = "it is not a regular file";
            return false;
        }
        const std::string tooLarge = "it is larger than " + std::to_string(cap >> 20) + " MiB";
        if (static_cast<uint64_t>(st.st_size) > cap) {
            *why = tooLarge;
            return false;
        }
        // The file may grow while it is read: the cap holds all the same.
        bytes->resize(static_cast<size_t>(st.st_size) + 1);
        size_t done = 0;
        for (;;) {
            if (done == bytes->size()) {
                if (done > cap) {
                    *why = tooLarge;
                    return false;
                }
                bytes->resize(static_cast<size_t>(std::min<uint64_t>(cap + 1, 2 * done)));
            }
            const ssize_t n = ::read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *why = std::strerror(errno);
                return false;
            }
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        bytes->resize(done);
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    PosixIo io;
    try {
        const int status = korvex::pack::run(argc, argv, io);
        return std::fflush(stdout) == 0 ? status : 2;
    } catch (const std::bad_alloc&) {
        io.err("korvex-pack: out of memory\n");
    } catch (const std::exception& e) {
        io.err(std::string("korvex-pack: ") + e.what() + "\n");
    }
    return 2;
}
