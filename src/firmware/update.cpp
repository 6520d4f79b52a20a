#include "firmware/update.h"

#include <cstring>

#include "firmware/package.h"
#include "firmware/validation.h"
#include "transport/ipmi.h"

namespace korvex {

namespace {

constexpr int kExchangeFailedLow = 0xFF;  // low byte of a failed exchange (-1)

constexpr size_t kAreaSize = 200;
constexpr uint64_t kPollPauseUs = 1000000;
// About an hour of polls; a BMC whose flash write takes longer has stopped.
constexpr uint32_t kProgressPollLimit = 3600;
constexpr uint64_t kUsbPackageSize = kFlashSize;
constexpr size_t kUsbReadStep = 0x8000;

// Tested on the low byte, so a completion code of 0xFF counts as a failure too.
bool exchangeFailed(const ExchangeResult& result) { return (result.value() & 0xFF) == kExchangeFailedLow; }

void putBigEndian32(uint8_t* out, uint64_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// The package file, closed when the job lets go of it on any path.
class PackageFile {
public:
    explicit PackageFile(File* file) : file_(file) {}
    ~PackageFile() { close(); }
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;
    explicit operator bool() const { return file_ != nullptr; }
    File& operator*() const { return *file_; }
    File* operator->() const { return file_; }
    void close() {
        if (file_ != nullptr) file_->close();
        file_ = nullptr;
    }

private:
    File* file_;
};

// A block from the platform's allocator, released on any path.
class Allocation {
public:
    Allocation(Memory& memory, size_t size) : memory_(memory), block_(memory.allocate(size)) {}
    ~Allocation() { release(); }
    Allocation(const Allocation&) = delete;
    Allocation& operator=(const Allocation&) = delete;
    uint8_t* bytes() const { return static_cast<uint8_t*>(block_); }
    void release() {
        if (block_ != nullptr) memory_.release(block_);
        block_ = nullptr;
    }

private:
    Memory& memory_;
    void* block_;
};

// Seek to the end and back; 0 when the size cannot be had.
uint64_t fileSize(File& file) {
    file.seek(0, SeekFrom::End);
    const int64_t size = file.tell();
    file.seek(0, SeekFrom::Start);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

// The state of one update: the BMC link and the request and answer areas.
class UpdateJob {
public:
    UpdateJob(const Platform& platform, Transport& transport)
        : platform_(platform), transport_(transport), link_{transport, platform.console, platform.stall} {}

    JobResult runKcs(const char* packageName, uint8_t preserveFlag);
    JobResult runUsb(const char* packageName, uint8_t preserveFlag);

private:
    enum class Step : uint8_t { Done, Failed, Rejected };
    enum class UpdateInfo : uint8_t { Known, AnotherUser, Failed };

    // One OEM request from request_ with its answer in response_; the
    // answer area is cleared first, so a missing byte never reads stale.
    ExchangeResult send(uint8_t command, int32_t requestLength) {
        std::memset(response_, 0, sizeof response_);
        const ExchangeResult result = transport_.exchange(kNetFnLunOem, command, request_, requestLength, response_);
        responseLength_ = result.answered() ? result.length : 0;
        return result;
    }
    bool answerHasByte() const { return responseLength_ >= 1; }

    UpdateInfo getFWUpdateInfo(uint8_t preserveFlag, uint8_t* updateState);
    Step sendPart(File& package, uint8_t index, uint8_t count, const Part& part);
    void sendBlockInfo(uint8_t index, uint8_t count, const Part& part);
    // Every full chunk of a part of at least 49 bytes, with its progress
    // lines; leaves in *rest what the last chunk carries (0 to 49 bytes).
    Step sendFullChunks(File& package, uint8_t index, uint64_t length, uint64_t* rest);
    // One ReceiveFWData with the part's next count bytes. A package that
    // cannot be read or a broken exchange is reported and the BMC reset;
    // false then.
    bool sendChunk(File& package, uint8_t flag, size_t count, ExchangeResult* result);
    // False when the stream failed: bytes it could not read must not reach
    // the flash as if they were the package's.
    bool readPartBytes(File& package, uint8_t* out, size_t count);
    Step pollProgress();
    void printVerdict(uint8_t code);

    const Platform& platform_;
    Transport& transport_;
    BmcLink link_;
    uint8_t request_[kAreaSize] = {};
    uint8_t response_[kAreaSize] = {};
    int32_t responseLength_ = 0;
    bool pastEnd_ = false;  // the stream has no more bytes of the current part
};

UpdateJob::UpdateInfo UpdateJob::getFWUpdateInfo(uint8_t preserveFlag, uint8_t* updateState) {
    std::memset(request_, 0, sizeof request_);
    request_[0] = preserveFlag;
    const int32_t result = send(kCmdGetFWUpdateInfo, 1).value();
    // A success that lacks the state byte tells nothing: counted as a failed request.
    if (result == kCcSuccess && answerHasByte()) {
        *updateState = response_[0];
        return UpdateInfo::Known;
    }
    if (result == kCcInvalidCommand) {
        *updateState = 1;
        return UpdateInfo::Known;
    }
    if (result == kCcAnotherUser) return UpdateInfo::AnotherUser;
    return UpdateInfo::Failed;
}

JobResult UpdateJob::runKcs(const char* packageName, uint8_t preserveFlag) {
    constexpr JobResult kFailed{-1, JobOutcome::Failed};
    constexpr JobResult kRefused{-1, JobOutcome::RefusedByBmc};
    Console& console = platform_.console;
    PackageFile package(platform_.files.open(packageName, "rb"));
    if (!package) {
        console.print("ERROR: OPEN BINARY FILE FAILED\n\n");
        return kFailed;
    }

    uint8_t updateState = 0;
    switch (getFWUpdateInfo(preserveFlag, &updateState)) {
        case UpdateInfo::Known:
            break;
        case UpdateInfo::AnotherUser:
            // The bytes around the text are part of the message as the BMC's users know it.
            console.print(
                "\x3F\xC5\x93Warning!\nAnother user is updating!\nPlease wait for the BMC to "
                "restart!\x3F\xEF\xBF\xBD\n");
            return kRefused;  // closes the package; the other user's update must not be reset
        case UpdateInfo::Failed:
            console.print("ERROR:SEND \"GetFWUpdateInfo\" COMMAND TO BMC FAILED\n");
            console.print("REBOOTING THE BMC ...\n");
            bmcColdReset(link_);
            return kFailed;  // closes the package
    }

    Allocation blockBuffer(platform_.memory, kPackageBlockSize);
    if (blockBuffer.bytes() == nullptr) {
        console.print("ERROR: ALLOCATE MEMORY FOR THIS PROGRAM FAILED,PLEASE CHECK THE MEMORY USAGE\n");
        return kFailed;  // closes the package
    }

    const uint64_t size = fileSize(*package);
    {
        // Only a test that a package of this size could be held; the block is
        // given back at once rather than kept for the whole run.
        Allocation memoryTest(platform_.memory, static_cast<size_t>(size));
        if (memoryTest.bytes() == nullptr || static_cast<uint64_t>(static_cast<size_t>(size)) != size) {
            console.print("malloc memory buffer failed!!\n");
            bmcColdReset(link_);
            return kFailed;  // closes the package, releases the block buffer
        }
    }

    PackageScanner scanner(console);
    if (runValidationScan(link_, *package, size, updateState, blockBuffer.bytes(), scanner) == Validation::Refused)
        // Only state 2 lets a package through: any other is the BMC's refusal,
        // whatever the package holds. With state 2 the package itself failed.
        return updateState == kUpdateStateReady ? kFailed : kRefused;  // closes the package, releases the buffer

    // From the first block info on, the BMC's flash is being written: a stop
    // then would leave a part half written, so it waits for the job's end.
    // Until then a stop calls the update off as a failed validation does:
    // the BMC, which GetFWUpdateInfo may have put in its update state, is reset.
    const HeldStops hold(platform_.stops, BmcChange::Update);
    if (!hold.held()) {
        console.print("ERROR: INTERRUPTED, NO FIRMWARE WAS SENT\n");
        console.print("REBOOTING THE BMC ...\n");
        bmcColdReset(link_);
        return {-1, JobOutcome::Interrupted};  // closes the package, releases the block buffer
    }
    console.print("If the FW update fails,PLEASE TRY AGAIN\n");
    for (uint8_t i = 0; i < scanner.partCount(); ++i) {
        const Step step = sendPart(*package, i, scanner.partCount(), scanner.part(i));
        if (step == Step::Rejected) return kRefused;  // closes the package, releases the block buffer
        if (step == Step::Failed) return kFailed;
    }

    blockBuffer.release();
    package.close();
    console.print("\n\n\nIf the FW update fails. PLEASE WAIT 5 MINS AND REMOVE THE AC...\n");
    if (pollProgress() == Step::Failed) return kFailed;
    console.print("\nUpdate Complete,Please wait for BMC reboot, about 1 min                       \n");
    transport_.close();
    return {0, JobOutcome::Succeeded};
}

bool UpdateJob::readPartBytes(File& package, uint8_t* out, size_t count) {
    size_t got = 0;
    if (!pastEnd_) got = package.read(out, count);
    if (got < count && !pastEnd_ && package.error()) return false;
    if (got < count) {
        // Past the end of the file the flash is sent erased.
        std::memset(out + got, 0xFF, count - got);
        pastEnd_ = true;
    }
    return true;
}

void UpdateJob::sendBlockInfo(uint8_t index, uint8_t count, const Part& part) {
    std::memset(request_, 0, sizeof request_);
    putBigEndian32(request_ + 0, part.startOffset);
    putBigEndian32(request_ + 4, part.areaLength);
    putBigEndian32(request_ + 8, part.length);
    request_[12] = index;
    request_[13] = count;
    // Only a broken exchange is reported, and the part is sent all the same.
    if (exchangeFailed(send(kCmdSendBlockInfo, kBlockInfoSize))) platform_.console.print("sendBlockInfo fail...\n");
}

bool UpdateJob::sendChunk(File& package, uint8_t flag, size_t count, ExchangeResult* result) {
    request_[0] = flag;
    if (!readPartBytes(package, request_ + 1, count)) {
        platform_.console.print("ERROR: READ BINARY FILE FAILED\n\n");
        bmcColdReset(link_);
        return false;
    }
    *result = send(kCmdReceiveFWData, static_cast<int32_t>(1 + count));
    if (!exchangeFailed(*result)) return true;
    platform_.console.print("ERROR:SEND \"ReceiveFWData\" COMMAND TO BMC FAILED\n");
    bmcColdReset(link_);
    return false;
}

UpdateJob::Step UpdateJob::sendFullChunks(File& package, uint8_t index, uint64_t length, uint64_t* rest) {
    Console& console = platform_.console;
    uint64_t remaining = length;
    uint64_t sent = kChunkData;
    uint64_t previousPercent = 100;
    for (;;) {
        ExchangeResult result;  // any answer but a broken exchange lets the transfer go on
        if (!sendChunk(package, 0, kChunkData, &result)) return Step::Failed;
        const uint64_t percent = sent * 100 / length;
        if (percent != previousPercent && percent % 5 == 0) {
            console.print("Load part %d %8ld bytes, %5ldK bytes   %d%%\r", index, static_cast<long>(length),
                          static_cast<long>(sent / 1024 + 1), static_cast<int>(percent + 1));
            console.flush();
        }
        *rest = remaining - kChunkData;
        sent += kChunkData;
        if (*rest <= kChunkData) return Step::Done;
        previousPercent = percent;
        remaining = *rest;
    }
}

UpdateJob::Step UpdateJob::sendPart(File& package, uint8_t index, uint8_t count, const Part& part) {
    sendBlockInfo(index, count, part);
    // Validation keeps offsets within 32 bits, so the seek can only fail on
    // a broken stream; its bytes then count as past the end.
    pastEnd_ = package.seek(static_cast<int64_t>(part.startOffset), SeekFrom::Start) != 0;

    // A part shorter than one full chunk goes out as its last chunk alone.
    uint64_t rest = part.length;
    if (part.length >= kChunkData && sendFullChunks(package, index, part.length, &rest) == Step::Failed)
        return Step::Failed;
    ExchangeResult result;
    if (!sendChunk(package, kLastChunk, static_cast<size_t>(rest), &result)) return Step::Failed;
    platform_.console.print("Load part %d %8ld bytes, [Ok]                       \r\n", index,
                            static_cast<long>(part.length));
    if (result.value() == kCcRejected) {
        // A rejection without its verdict byte gets the message of an unknown verdict.
        printVerdict(answerHasByte() ? response_[0] : 0);
        bmcColdReset(link_);
        return Step::Rejected;
    }
    return Step::Done;
}

void UpdateJob::printVerdict(uint8_t code) {
    Console& console = platform_.console;
    if (code == kVerdictVerification)
        console.print("Error!\nUpdate package verification failed!\n");
    else if (code == kVerdictDowngrade)
        console.print("Error!\nCan't downgrade to this update package version!\n");
    else
        console.print("Error!\nThis update package is not compatible with your system configuration.\n");
}

UpdateJob::Step UpdateJob::pollProgress() {
    Console& console = platform_.console;
    for (uint32_t poll = 0; poll < kProgressPollLimit; ++poll) {
        sleepMicroseconds(platform_.stall, kPollPauseUs);
        std::memset(request_, 0, sizeof request_);
        // The result is not looked at: a failed poll shows 0 and the poll goes on.
        static_cast<void>(send(kCmdGetFWUpdateProgress, 0));
        const uint8_t percent = answerHasByte() ? response_[0] : 0;
        console.print("new firmware is updating...%d%%\r", percent);
        console.flush();
        if (percent == kProgressDone) return Step::Done;
    }
    console.print("\nError!\nThe BMC did not report the end of the firmware update!\n");
    return Step::Failed;
}

JobResult UpdateJob::runUsb(const char* packageName, uint8_t preserveFlag) {
    // The path sends no firmware: whatever happens, the update has not taken place.
    constexpr JobResult kNotUpdated{0, JobOutcome::Failed};
    Console& console = platform_.console;
    console.print("Press any to continue name %s\n", packageName);
    console.flush();
    console.readChar();
    // The key wait is where a user calls the path off; nothing has been sent yet.
    if (platform_.stops.stopRequested()) {
        console.print("ERROR: INTERRUPTED, NOTHING WAS SENT TO THE BMC\n\n");
        return {0, JobOutcome::Interrupted};
    }

    PackageFile package(platform_.files.open(packageName, "rb"));
    if (!package) {
        console.print("ERROR: OPEN BINARY FILE FAILED\n\n");
        return kNotUpdated;
    }
    if (fileSize(*package) != kUsbPackageSize) {
        console.print("the file size of the firmware image is not correct!\n");
        return kNotUpdated;  // closes the package
    }
    Allocation image(platform_.memory, kUsbPackageSize);
    if (image.bytes() == nullptr) {
        console.print("malloc memory buffer failed!\n");
        return kNotUpdated;  // closes the package
    }

    std::memset(request_, 0, sizeof request_);
    request_[0] = preserveFlag;
    const int32_t result = send(kCmdUsbUpdateInfo, 1).value();
    uint8_t updateState = 0;
    if (result == kCcSuccess && answerHasByte())
        updateState = response_[0] & 0x0F;
    else if (result == kCcInvalidCommand)
        updateState = 1;

    if (updateState == kUpdateStateReady) {
        const size_t got = package->read(image.bytes(), kUsbPackageSize);
        PackageScanner scanner(console);
        scanner.find_respective_image_info(image.bytes(), got);  // looked at, not acted upon
    }

    console.print("If the FW update fails,PLEASE TRY AGAIN\n");
    console.print("Transfer data ................\n");
    package->seek(0, SeekFrom::Start);
    for (size_t done = 0; done < kUsbPackageSize;) {
        const size_t want = kUsbPackageSize - done < kUsbReadStep ? kUsbPackageSize - done : kUsbReadStep;
        const size_t got = package->read(image.bytes() + done, want);
        if (got == 0) {
            // The file shrank or failed under us; nothing more will come.
            console.print("ERROR: READ BINARY FILE FAILED\n\n");
            break;
        }
        done += got;
    }
    console.print("FWUpdate fail\n");
    return kNotUpdated;  // closes the package, releases the image
}

}  // namespace

JobResult runKcsUpdate(const Platform& platform, Transport& transport, const char* packageName, uint8_t preserveFlag) {
    UpdateJob job(platform, transport);
    return job.runKcs(packageName, preserveFlag);
}

JobResult runUsbUpdate(const Platform& platform, Transport& transport, const char* packageName, uint8_t preserveFlag) {
    UpdateJob job(platform, transport);
    return job.runUsb(packageName, preserveFlag);
}

}  // namespace korvex
