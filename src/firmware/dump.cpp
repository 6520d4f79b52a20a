#include "firmware/dump.h"

#include "transport/ipmi.h"

namespace korvex {

namespace {

constexpr uint64_t kPieceSize = kDumpPieceSize;
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

// What the main routine returns after a dump, whatever its outcome.
constexpr int kDumpValue = 1;

class FlashDump {
public:
    FlashDump(const Platform& platform, Transport& transport, const char* dumpName, uint64_t byteLimit)
        : console_(platform.console), files_(platform.files), stall_(platform.stall), stops_(platform.stops),
          transport_(transport), dumpName_(dumpName), byteLimit_(byteLimit) {}

    JobResult run() {
        prepare();
        console_.print("Phase1:Wait for BMC !!\n");
        // The dump only reads from the BMC: a stop ends it at the next
        // boundary, second by second through the long wait.
        for (int i = 0; i < kPrepareWaitSeconds && !stopping(); ++i) sleepMicroseconds(stall_, kOneSecondUs);
        if (interrupted_ || !awaitReady()) {
            if (!interrupted_) console_.print("ERROR:THE BMC DID NOT GET THE DUMP READY\n\n");
            transport_.close();
            return {kDumpValue, failure()};
        }
        console_.print("Phase2:Receive the flash data........... \n");
        StagedFile* file = files_.createStaged(dumpName_);
        if (file == nullptr) {
            console_.print("ERROR: OPEN BINARY FILE FAILED %s\n\n", dumpName_);
            transport_.close();
            return {kDumpValue, JobOutcome::Failed};
        }
        file->seek(0, SeekFrom::Start);
        console_.print("length=0x%lx\n", static_cast<unsigned long>(dumpLength_));
        // The file takes the dump's name only when the dump is whole; a
        // partial dump passed off as the flash would be worse than none.
        bool kept = false;
        if (receive(*file)) {
            kept = file->keep();
            if (!kept) console_.print("ERROR: WRITE BINARY FILE FAILED %s, THE DUMP IS INCOMPLETE\n\n", dumpName_);
        } else {
            file->discard();
        }
        if (!kept) console_.print("Nothing was written to %s; the incomplete data were deleted.\n", dumpName_);
        transport_.close();
        return {kDumpValue, kept ? JobOutcome::Succeeded : failure()};
    }

private:
    // True once a stop was requested; says so the first time.
    bool stopping() {
        if (!interrupted_ && stops_.stopRequested()) {
            interrupted_ = true;
            console_.print("ERROR: INTERRUPTED, THE DUMP IS INCOMPLETE\n\n");
        }
        return interrupted_;
    }
    JobOutcome failure() const { return interrupted_ ? JobOutcome::Interrupted : JobOutcome::Failed; }

    ExchangeResult exchange(uint8_t command) { return transport_.exchange(kNetFnLunOem, command, nullptr, 0, answer_); }

    void prepare() {
        if (!exchange(kCmdPrepareDumpFlash).succeeded()) console_.print("ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n");
    }

    // Polls until the BMC reports the dump ready, at most kReadyPollLimit
    // times, or until a stop is requested.
    bool awaitReady() {
        for (unsigned poll = 1;; ++poll) {
            if (stopping()) return false;
            const ExchangeResult result = exchange(kCmdCheckDumpFlashComplete);
            const bool ready = result.succeeded() && result.length >= 1 && answer_[0] == kDumpReady;
            // A ready answer without its length is as useless as a failed one.
            if (!result.succeeded() || (ready && result.length < kReadyAnswer)) {
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

    // Receives the pieces into file; true when every announced byte came
    // (more is fine) and the BMC flagged the last piece. Any other end (a
    // stop requested between two pieces too) has printed its message.
    bool receive(File& file) {
        uint64_t received = kPieceSize;
        uint64_t previousPercent = 100;
        uint64_t stored = 0;
        for (;;) {
            if (stopping()) return false;
            // Without a length there is nothing to take a percentage of; the
            // data still come and are written, only the progress line is left out.
            const uint64_t percent = dumpLength_ != 0 ? received * 100 / dumpLength_ : previousPercent;
            if (percent != previousPercent && percent % 5 == 0) {
                console_.print("%ldK bytes      %d%%\r", static_cast<long>(received / 1024 + 1),
                               static_cast<int>(percent));
                console_.flush();
            }
            int32_t length = 0;
            if (!fetchPiece(&length)) {
                console_.print("ERROR:RECEIVE FLASH DATA FAILED, THE DUMP IS INCOMPLETE\n\n");
                return false;
            }
            const bool last = answer_[0] != 0;
            const size_t count = last ? static_cast<size_t>(length - 1) : kPieceSize;
            if (count > 0 && file.write(answer_ + 1, count) != count) {
                console_.print("ERROR: WRITE BINARY FILE FAILED %s, THE DUMP IS INCOMPLETE\n\n", dumpName_);
                return false;
            }
            stored += count;
            if (last) break;
            if (received >= byteLimit_) {
                console_.print("ERROR:THE BMC DID NOT END THE DUMP, IT IS STOPPED AFTER %lu BYTES\n\n",
                               static_cast<unsigned long>(received));
                return false;
            }
            received += kPieceSize;
            previousPercent = percent;
        }
        if (stored >= dumpLength_) return true;
        console_.print("ERROR:THE BMC SENT %lu OF %lu BYTES, THE DUMP IS INCOMPLETE\n\n",
                       static_cast<unsigned long>(stored), static_cast<unsigned long>(dumpLength_));
        return false;
    }

    // Sends GetDumpFlashData until it brings a piece that keeps its contract:
    // a last flag, and exactly one piece unless it is the last. Only a request
    // that provably never reached the BMC is sent again, since a repeat of one
    // the BMC did serve would skip a piece.
    bool fetchPiece(int32_t* length) {
        for (unsigned attempt = 1; attempt <= kPieceAttempts; ++attempt) {
            if (attempt > 1) sleepMicroseconds(stall_, kRetryPauseUs);  // a busy BMC needs a moment
            const ExchangeResult result = exchange(kCmdGetDumpFlashData);
            if (result.succeeded()) {
                *length = result.length;
                return result.length >= 1 && (answer_[0] != 0 || result.length == kFullPieceAnswer);
            }
            // Busy, or (behind a virtual KCS device) no BMC there at all: the
            // request provably did not reach the BMC's dump logic.
            const bool notServed = result.status == ExchangeStatus::WriteFailed || result.value() == kCcNodeBusy ||
                                   result.value() == kCcBmcNotReady;
            if (!notServed) return false;
        }
        return false;
    }

    Console& console_;
    FileSystem& files_;
    Stall& stall_;
    StopRequests& stops_;
    Transport& transport_;
    const char* dumpName_;
    uint64_t byteLimit_;
    uint64_t dumpLength_ = 0;
    bool interrupted_ = false;
    uint8_t answer_[128] = {};  // the largest response data an exchange delivers, and more
};

}  // namespace

JobResult runFlashDump(const Platform& platform, Transport& transport, const char* dumpName, uint64_t byteLimit) {
    FlashDump dump(platform, transport, dumpName, byteLimit);
    return dump.run();
}

}  // namespace korvex
