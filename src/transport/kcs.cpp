#include "transport/kcs.h"

#include <cstring>

#include "platform/text.h"

namespace korvex {

// ---------------------------------------------------------------------------
// kcs.cfg

namespace {

// 19 characters and the terminating zero.
constexpr size_t kTokenSize = 20;

// The separators of formatted "%s" input in the C locale.
constexpr bool isSeparator(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Whitespace-separated tokens of a stream, read a byte at a time.
class TokenReader {
public:
    explicit TokenReader(File& file) : file_(file) {}

    // The next token, cut to its first 19 characters: the rest of a longer
    // token is consumed with it, so it never turns into a token of its own.
    // False, with the previous token left in place, when none is left.
    bool next() {
        uint8_t c = 0;
        do {
            if (!get(&c)) return false;
        } while (isSeparator(c));
        size_t n = 0;
        do {
            if (n < kTokenSize - 1) token_[n++] = static_cast<char>(c);
        } while (get(&c) && !isSeparator(c));
        token_[n] = '\0';
        return true;
    }

    const char* token() const { return token_; }
    // Set once a read came back empty. A read error counts as the end too,
    // or a broken medium would keep the reader going for ever.
    bool atEnd() const { return atEnd_; }

private:
    bool get(uint8_t* c) {
        if (file_.read(c, 1) == 1) return true;
        atEnd_ = true;
        return false;
    }

    File& file_;
    char token_[kTokenSize] = {};
    bool atEnd_ = false;
};

}  // namespace

int64_t parseKcsPortNumber(const char* token) {
    int64_t value = 0;
    for (int digits = 0; digits < 4; ++digits) {
        const uint8_t c = static_cast<uint8_t>(token[digits]);
        int64_t digit;
        if (c >= 0x2A && c <= 0x3F)  // '*' to '?': the low four bits, as the file format has it
            digit = c & 0x0F;
        else if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))
            digit = (c & 0x0F) + 9;
        else
            break;
        value = value * 16 + digit;
    }
    return value;
}

void readKcsPortSet(FileSystem& files, KcsPortSet* ports) {
    File* file = files.open("kcs.cfg", "r");
    if (file == nullptr) {
        *ports = KcsPortSet{kKcsDefaultCommandPort, kKcsDefaultCommandPort, kKcsDefaultDataPort};
        return;
    }
    // A file that opens names the ports itself: one it leaves out stays 0.
    *ports = KcsPortSet{};
    TokenReader reader(*file);
    do {
        if (!reader.next()) continue;
        // A keyword with nothing after it, at the very end of the file,
        // leaves its port as it was.
        if (text::equal(reader.token(), "CMD") && reader.next()) {
            const int64_t port = parseKcsPortNumber(reader.token());
            ports->command = port;
            ports->status = port;  // command and status share one address
        }
        // Deliberately the same buffer: a number token that reads "DATA"
        // counts as the keyword.
        if (text::equal(reader.token(), "DATA") && reader.next()) ports->data = parseKcsPortNumber(reader.token());
    } while (!reader.atEnd());
    file->close();
}

int KcsTransport::open() {
    readKcsPortSet(platform_.files, &ports_);
    return 0;
}

int KcsTransport::close() { return 0; }

// ---------------------------------------------------------------------------
// The exchange

namespace {

// How a wait or a transfer step ended.
enum class Outcome : uint8_t {
    Done,
    BadState,       // timed out, or the BMC is in a state the step does not allow
    PlatformFault,  // the timer could not be created or armed
};

// More response bytes than any BMC sends in one message: past this the
// exchange stops draining and gives up instead of reading for ever.
constexpr int kDrainLimit = 1024;

// One exchange's hold on the interface: the three registers, the timer event
// of the current phase, and the status byte last read.
class KcsWire {
public:
    KcsWire(PortIo& io, Timers& timers, const KcsPortSet& ports)
        : io_(io), timers_(timers), commandPort_(static_cast<uint16_t>(ports.command)),
          statusPort_(static_cast<uint16_t>(ports.status)), dataPort_(static_cast<uint16_t>(ports.data)) {}

    bool createTimer() {
        haveTimer_ = timers_.create(&timer_);
        return haveTimer_;
    }
    void closeTimer() {
        if (haveTimer_) timers_.close(timer_);
        haveTimer_ = false;
    }

    Outcome waitIbfClear() { return wait(kcs::kIbf, 0); }
    Outcome waitObfSet() { return wait(kcs::kObf, kcs::kObf); }

    uint8_t readStatus() {
        lastStatus_ = io_.in8(statusPort_);
        return lastStatus_;
    }
    uint8_t lastStatus() const { return lastStatus_; }
    uint8_t readData() { return io_.in8(dataPort_); }
    void writeData(uint8_t value) { io_.out8(dataPort_, value); }
    void writeCommand(uint8_t code) { io_.out8(commandPort_, code); }

private:
    // A busy poll with a fresh 30-second limit: no pause between reads, so
    // the BMC's answer is seen the moment it comes.
    Outcome wait(uint8_t mask, uint8_t wanted) {
        if (!timers_.armRelative(timer_, kcs::kWaitLimit100ns)) return Outcome::PlatformFault;
        Outcome outcome;
        for (;;) {
            if ((readStatus() & mask) == wanted) {
                outcome = Outcome::Done;
                break;
            }
            if (timers_.fired(timer_)) {
                outcome = Outcome::BadState;
                break;
            }
        }
        timers_.cancel(timer_);
        return outcome;
    }

    PortIo& io_;
    Timers& timers_;
    uint16_t commandPort_;
    uint16_t statusPort_;
    uint16_t dataPort_;
    TimerId timer_ = 0;
    bool haveTimer_ = false;
    uint8_t lastStatus_ = 0;
};

// Empties the data register; the BMC must not refill it.
Outcome discardOutput(KcsWire& wire) {
    wire.readData();
    return (wire.readStatus() & kcs::kObf) != 0 ? Outcome::BadState : Outcome::Done;
}

// After a control code or request byte: the BMC took it and is still in
// the write state. Only bit 7 is looked at, so the error state passes too.
Outcome takenInWriteState(KcsWire& wire) {
    if (Outcome o = wire.waitIbfClear(); o != Outcome::Done) return o;
    if ((wire.lastStatus() & kcs::kWriteStateBit) == 0) return Outcome::BadState;
    return discardOutput(wire);
}

// The write transfer: WRITE_START, every byte but the last, WRITE_END, the
// last byte. The read transfer begins with the wait for the last byte.
Outcome writeRequest(KcsWire& wire, const uint8_t* bytes, int count) {
    if (Outcome o = wire.waitIbfClear(); o != Outcome::Done) return o;
    if (Outcome o = discardOutput(wire); o != Outcome::Done) return o;
    wire.writeCommand(kcs::kWriteStart);
    if (Outcome o = takenInWriteState(wire); o != Outcome::Done) return o;
    for (int i = 0; i < count - 1; ++i) {
        wire.writeData(bytes[i]);
        if (Outcome o = takenInWriteState(wire); o != Outcome::Done) return o;
    }
    wire.writeCommand(kcs::kWriteEnd);
    if (Outcome o = takenInWriteState(wire); o != Outcome::Done) return o;
    wire.writeData(bytes[count - 1]);
    return Outcome::Done;
}

// The read transfer: one byte per READ until the BMC goes idle. *count is
// every byte the BMC sent; only the first kReplyStoreSize are kept, the rest
// are drained so that the next exchange finds the interface idle.
Outcome readResponse(KcsWire& wire, uint8_t* store, int* count) {
    *count = 0;
    for (;;) {
        if (Outcome o = wire.waitIbfClear(); o != Outcome::Done) return o;
        const uint8_t status = wire.readStatus();
        if ((status & kcs::kReadStateBit) != 0) {  // bit 7 is not looked at: the error state reads as read
            if (Outcome o = wire.waitObfSet(); o != Outcome::Done) return o;
            const uint8_t byte = wire.readData();
            if (*count < kcs::kReplyStoreSize) store[*count] = byte;
            wire.writeData(kcs::kRead);
            if (++*count > kDrainLimit) return Outcome::BadState;
            continue;
        }
        if ((status & kcs::kWriteStateBit) != 0) return Outcome::BadState;
        // Idle: the BMC has put a dummy byte out to end the transfer.
        if (Outcome o = wire.waitObfSet(); o != Outcome::Done) return o;
        wire.readData();
        return Outcome::Done;
    }
}

// Each phase has a timer event of its own, closed whatever the outcome.
Outcome writePhase(KcsWire& wire, const uint8_t* bytes, int count) {
    if (!wire.createTimer()) return Outcome::PlatformFault;
    const Outcome outcome = writeRequest(wire, bytes, count);
    wire.closeTimer();
    return outcome;
}

Outcome readPhase(KcsWire& wire, uint8_t* store, int* count) {
    if (!wire.createTimer()) return Outcome::PlatformFault;
    Outcome outcome = readResponse(wire, store, count);
    wire.closeTimer();
    // A response without a completion code, or one that did not fit the
    // store, is no answer to pass on.
    if (outcome == Outcome::Done && (*count < 3 || *count > kcs::kReplyStoreSize)) outcome = Outcome::BadState;
    return outcome;
}

}  // namespace

ExchangeResult KcsTransport::exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData,
                                      int32_t requestLength, uint8_t* responseData) {
    // Refused before the interface is touched: it would not fit the request store.
    if (requestLength < 0 || requestLength > kcs::kMaxRequestData) return ExchangeResult::writeFailure();

    uint8_t request[kcs::kRequestStoreSize] = {};
    request[0] = netFnLun;
    request[1] = command;
    if (requestLength > 0) std::memcpy(request + 2, requestData, static_cast<size_t>(requestLength));
    uint8_t reply[kcs::kReplyStoreSize] = {};
    int count = 0;

    KcsWire wire(platform_.ports, platform_.timers, ports_);
    Outcome outcome = writePhase(wire, request, requestLength + 2);
    const bool written = outcome == Outcome::Done;
    if (written) outcome = readPhase(wire, reply, &count);
    if (outcome != Outcome::Done) {
        if (outcome == Outcome::BadState) platform_.console.print("ERROR !! BMC did not in correct state\n");
        return written ? ExchangeResult::readFailure() : ExchangeResult::writeFailure();
    }

    if (count > 3) std::memcpy(responseData, reply + 3, static_cast<size_t>(count - 3));
    return ExchangeResult::answer(reply[2], count - 3);
}

}  // namespace korvex
