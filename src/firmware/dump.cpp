#include "firmware/dump.h"

#include "transport/ipmi.h"

namespace korvex {

namespace {

constexpr uint8_t kCmdPrepareDumpFlash = 0x1D;
constexpr uint8_t kCmdCheckDumpFlashComplete = 0x1E;
constexpr uint8_t kCmdGetDumpFlashData = 0x1F;

constexpr uint64_t kPieceSize = 56;
constexpr int32_t kFullPieceAnswer = 1 + kPieceSize;  // last flag and one piece
constexpr int32_t kReadyAnswer = 5;                   // ready flag and a 32-bit length
constexpr int kPrepareWaitSeconds = 50;
constexpr uint64_t kOneSecondUs = 1000000;
constexpr uint64_t kPollPauseUs = 5000000;
// 120 polls 5 s apart: ten minutes on top of the fixed wait, far beyond what
// a BMC needs to stage its flash, yet a dead BMC no longer holds the run forever.
constexpr unsigned kReadyPollLimit = 120;
// A piece request carries no offset, so it may only be sent again when the BMC
// cannot have served the first one; these are the tries per piece.
constexpr unsigned kPieceAttempts = 4;
constexpr uint64_t kRetryPauseUs = 1000000;

// Completion codes with which the request provably did not reach the BMC's
// dump logic: it was busy, or (behind a virtual KCS device) not there at all.
constexpr int kCcNodeBusy = 0xC0;
constexpr int kCcBmcNotReady = 0xD2;

// A response length no exchange ever stores, to tell a failure while the
// request was being written (left untouched) from one while reading (-1).
constexpr int32_t kLengthUntouched = -2;

class FlashDump {
public:
    FlashDump(const Platform& platform, Transport& transport, const char* dumpName, uint64_t byteLimit)
        : console_(platform.console), files_(platform.files), stall_(platform.stall), transport_(transport),
          dumpName_(dumpName), byteLimit_(byteLimit) {}

    int run() {
        prepare();
        console_.print("Phase1:Wait for BMC !!\n");
        for (int i = 0; i < kPrepareWaitSeconds; ++i) sleepMicroseconds(stall_, kOneSecondUs);
        if (!awaitReady()) {
            console_.print("ERROR:THE BMC DID NOT GET THE DUMP READY\n\n");
            transport_.close();
            return 1;
        }
        console_.print("Phase2:Receive the flash data........... \n");
        File* file = files_.open(dumpName_, "wb+");
        if (file == nullptr) {
            console_.print("ERROR: OPEN BINARY FILE FAILED %s\n\n", dumpName_);
            transport_.close();
            return 1;
        }
        file->seek(0, SeekFrom::Start);
        console_.print("length=0x%lx\n", static_cast<unsigned long>(dumpLength_));
        const Outcome outcome = receive(*file);
        // Closing flushes the stream's last bytes, so its failure is a write failure too.
        const bool closed = file->close() == 0;
        if (outcome == Outcome::WriteFailed || (outcome == Outcome::Complete && !closed))
            console_.print("ERROR: WRITE BINARY FILE FAILED %s, THE DUMP IS INCOMPLETE\n\n", dumpName_);
        transport_.close();
        return 1;
    }

private:
    enum class Outcome : uint8_t { Complete, BmcFailed, WriteFailed };

    int exchange(uint8_t command) {
        length_ = kLengthUntouched;
        return transport_.exchange(kNetFnLunOem, command, nullptr, 0, answer_, &length_);
    }

    void prepare() {
        if (exchange(kCmdPrepareDumpFlash) != 0) console_.print("ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n");
    }

    // Polls until the BMC reports the dump ready, at most kReadyPollLimit times.
    bool awaitReady() {
        for (unsigned poll = 1;; ++poll) {
            const int result = exchange(kCmdCheckDumpFlashComplete);
            const bool ready = result == 0 && length_ >= 1 && answer_[0] == 1;
            // A ready answer without its length is as useless as a failed one.
            if (result != 0 || (ready && length_ < kReadyAnswer)) {
                console_.print("ERROR:EXECUTE CHECK DUMP FLASH COMPLETE FAILED\n\n");
            } else if (ready) {
                dumpLength_ = static_cast<uint64_t>(answer_[1]) << 24 | static_cast<uint64_t>(answer_[2]) << 16 |
                              static_cast<uint64_t>(answer_[3]) << 8 | answer_[4];
                return true;
            }
            if (poll == kReadyPollLimit) return false;
            sleepMicroseconds(stall_, kPollPauseUs);
        }
    }

    Outcome receive(File& file) {
        uint64_t received = kPieceSize;
        uint64_t previousPercent = 100;
        for (;;) {
            // Without a length there is nothing to take a percentage of; the
            // data still come and are written, only the progress line is left out.
            const uint64_t percent = dumpLength_ != 0 ? received * 100 / dumpLength_ : previousPercent;
            if (percent != previousPercent && percent % 5 == 0) {
                console_.print("%ldK bytes      %d%%\r", static_cast<long>(received / 1024 + 1),
                               static_cast<int>(percent));
                console_.flush();
            }
            if (!fetchPiece()) {
                console_.print("ERROR:RECEIVE FLASH DATA FAILED, THE DUMP IS INCOMPLETE\n\n");
                return Outcome::BmcFailed;
            }
            const bool last = answer_[0] != 0;
            const size_t count = last ? static_cast<size_t>(length_ - 1) : kPieceSize;
            if (count > 0 && file.write(answer_ + 1, count) != count) return Outcome::WriteFailed;
            if (last) return Outcome::Complete;
            if (received >= byteLimit_) {
                console_.print("ERROR:THE BMC DID NOT END THE DUMP, IT IS STOPPED AFTER %lu BYTES\n\n",
                               static_cast<unsigned long>(received));
                return Outcome::BmcFailed;
            }
            received += kPieceSize;
            previousPercent = percent;
        }
    }

    // Sends GetDumpFlashData until it brings a piece that keeps its contract:
    // a last flag, and exactly one piece unless it is the last. Only a request
    // that provably never reached the BMC is sent again, since a repeat of one
    // the BMC did serve would skip a piece.
    bool fetchPiece() {
        for (unsigned attempt = 1; attempt <= kPieceAttempts; ++attempt) {
            if (attempt > 1) sleepMicroseconds(stall_, kRetryPauseUs);  // a busy BMC needs a moment
            const int result = exchange(kCmdGetDumpFlashData);
            if (result == 0) return length_ >= 1 && (answer_[0] != 0 || length_ == kFullPieceAnswer);
            const bool notServed =
                (result == -1 && length_ == kLengthUntouched) || result == kCcNodeBusy || result == kCcBmcNotReady;
            if (!notServed) return false;
        }
        return false;
    }

    Console& console_;
    FileSystem& files_;
    Stall& stall_;
    Transport& transport_;
    const char* dumpName_;
    uint64_t byteLimit_;
    uint64_t dumpLength_ = 0;
    uint8_t answer_[128] = {};  // the largest response data an exchange delivers, and more
    int32_t length_ = 0;
};

}  // namespace

int runFlashDump(const Platform& platform, Transport& transport, const char* dumpName, uint64_t byteLimit) {
    FlashDump dump(platform, transport, dumpName, byteLimit);
    return dump.run();
}

}  // namespace korvex
