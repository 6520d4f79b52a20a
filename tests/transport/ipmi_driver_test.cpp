// The transport through the kernel's IPMI driver, against a fake driver and
// clock: each thing the driver can do to one exchange, and korvex's choice of
// the way to the BMC.
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "korvex/interface.h"
#include "support/capture.h"
#include "transport/linux/ipmi_driver.h"

namespace korvex::linuxhost {
namespace {

// An answer the fake driver queues after a request.
struct Reply {
    std::vector<uint8_t> bytes;  // completion code and data
    bool late = false;           // the answer to the request before, given up on
    int receiveErrno = 0;        // RECEIVE fails with this instead
};

// The request as the driver got it: address type, channel, LUN, NetFn, command, data.
using SentRequest = std::tuple<int, short, int, int, int, std::vector<uint8_t>>;

class FakeDriver final : public IpmiDeviceCalls {
public:
    int openErrno = 0, checkErrno = 0;
    std::deque<int> sendErrnos;  // SEND's results in turn (0: taken); then it takes every request
    std::vector<Reply> replies;  // queued after each request taken
    short readyEvents = POLLIN;  // what a poll of the device reports when it is ready
    size_t silentSends = 0;      // the first requests taken get no answer
    int64_t now = 0;
    std::vector<std::string> opened;
    std::vector<SentRequest> sent;

    int open(const char* path) override {
        opened.push_back(path);
        return openErrno != 0 ? (errno = openErrno, -1) : 7;
    }
    void close(int) override {}
    int64_t monotonicMs() override { return now; }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        if (count == 0 || (queue_.empty() && (readyEvents & POLLIN) != 0)) return now += timeoutMs, 0;
        fds[0].revents = readyEvents;
        return 1;
    }
    int ioctl(int, unsigned long request, void* arg) override {
        if (request == IPMICTL_GET_MY_ADDRESS_CMD) {
            *static_cast<unsigned int*>(arg) = 0x20;
            return checkErrno != 0 ? (errno = checkErrno, -1) : 0;
        }
        if (request == IPMICTL_SEND_COMMAND) return send(*static_cast<ipmi_req*>(arg));
        if (request == IPMICTL_RECEIVE_MSG_TRUNC) return receive(*static_cast<ipmi_recv*>(arg));
        return errno = ENOTTY, -1;
    }

private:
    int send(const ipmi_req& request) {
        const auto* address = reinterpret_cast<const ipmi_system_interface_addr*>(request.addr);
        sent.emplace_back(address->addr_type, address->channel, address->lun, request.msg.netfn, request.msg.cmd,
                          std::vector<uint8_t>(request.msg.data, request.msg.data + request.msg.data_len));
        const int error = sendErrnos.empty() ? 0 : sendErrnos.front();
        if (!sendErrnos.empty()) sendErrnos.pop_front();
        if (error != 0) return errno = error, -1;
        if (sent.size() > silentSends)
            for (const Reply& r : replies) queue_.emplace_back(r.late ? previousMsgid_ : request.msgid, r);
        previousMsgid_ = request.msgid;
        return 0;
    }
    int receive(ipmi_recv& answer) {
        if (queue_.empty()) return errno = EAGAIN, -1;
        const auto [msgid, reply] = queue_.front();
        queue_.pop_front();
        if (reply.receiveErrno != 0) return errno = reply.receiveErrno, -1;
        answer.recv_type = IPMI_RESPONSE_RECV_TYPE;
        answer.msgid = msgid;
        const size_t n = std::min<size_t>(reply.bytes.size(), answer.msg.data_len);
        if (n != 0) std::memcpy(answer.msg.data, reply.bytes.data(), n);
        answer.msg.data_len = static_cast<unsigned short>(n);
        return n < reply.bytes.size() ? (errno = EMSGSIZE, -1) : 0;  // taken off the queue, cut
    }

    std::deque<std::pair<long, Reply>> queue_;
    long previousMsgid_ = -1;
};

std::string readAll(FILE* f) {
    std::string text(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    return text;
}

std::vector<uint8_t> bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> b(count);
    for (size_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

struct ExchangeRow {
    const char* what;
    std::vector<Reply> replies;
    ExchangeStatus status = ExchangeStatus::ReadFailed;
    uint8_t completion = 0;
    int64_t elapsedMs = 0;
    const char* says = "";  // on the error stream; "" when it must stay empty
    std::vector<int> sendErrnos = {};
    short readyEvents = POLLIN;
    int32_t requestLength = 3;
    bool afterTimeout = false;  // an exchange that ran out of time came first
};

TEST(DriverTransport, EachWayAnExchangeEnds) {
    using S = ExchangeStatus;
    const char* late = "no answer within 30 s";
    const char* back = "korvex: /dev/ipmi0: the driver takes requests again, after 3 s\n";
    // clang-format off
    const ExchangeRow rows[] = {
        {"answer", {{{0x00, 0xAA, 0xBB}}}, S::Answered},
        {"no request data", {{{0x00}}}, S::Answered, 0, 0, "", {}, POLLIN, 0},
        {"a refusal is an answer", {{{0xC1, 0x01}}}, S::Answered, 0xC1},
        {"late answer, then this one's", {{{0xC3}, true}, {{0x00, 0x05}}}, S::Answered, 0, 30000, late, {}, POLLIN, 3,
         true},
        {"only a late answer", {{{0x00, 0x05}, true}}, S::ReadFailed, 0, 60000, late, {}, POLLIN, 3, true},
        {"silence", {}, S::ReadFailed, 0, 30000, late},
        {"busy after a cold reset", {{{0x00, 0x01}}}, S::Answered, 0, 3000, back, std::vector<int>(3, EBUSY)},
        {"busy too long", {{{0x00}}}, S::WriteFailed, 0, 60000, "after 60 s", std::vector<int>(100, EBUSY)},
        {"interrupted send", {{{0x00}}}, S::Answered, 0, 0, "", {EINTR}},
        {"too long for the driver", {{{0x00}}}, S::WriteFailed, 0, 0, "too long", {EMSGSIZE}},
        {"receive fails", {{{}, false, EIO}}, S::ReadFailed, 0, 0, "Input/output error"},
        {"device hung up", {{{0x00}}}, S::ReadFailed, 0, 0, "poll events 0x18", {}, POLLHUP | POLLERR},
        {"truncated", {{bytes(IPMI_MAX_MSG_LENGTH + 1, 0)}}, S::ReadFailed, 0, 0, "longer than"},
        {"125 data bytes fit", {{bytes(126, 0)}}, S::Answered},
        {"126 do not", {{bytes(127, 0)}}, S::ReadFailed, 0, 0, "126 data bytes; at most 125"},
        {"no completion code", {{{}}}, S::ReadFailed, 0, 0, "without a completion code"},
        {"driver gave up on the BMC", {{{0xFF}}}, S::ReadFailed, 0, 0, "no usable answer"},
        {"driver holds the BMC for dead", {{{0x82}}}, S::ReadFailed, 0, 0, "(0x82)"},
        {"0xFF with data is the BMC's", {{{0xFF, 0x00}}}, S::Answered, 0xFF},
        {"over 62 bytes never sent", {{{0x00}}}, S::WriteFailed, 0, 0, "", {}, POLLIN, 63},
        {"negative length never sent", {{{0x00}}}, S::WriteFailed, 0, 0, "", {}, POLLIN, -1},
    };
    // clang-format on
    for (const ExchangeRow& row : rows) {
        SCOPED_TRACE(row.what);
        FakeDriver device;
        device.replies = row.replies;
        device.sendErrnos.assign(row.sendErrnos.begin(), row.sendErrnos.end());
        device.readyEvents = row.readyEvents;
        device.silentSends = row.afterTimeout ? 1 : 0;
        test::CaptureConsole console;
        FILE* err = std::tmpfile();
        const bool sendable = row.requestLength >= 0 && row.requestLength <= 62;
        const std::vector<uint8_t> request = bytes(sendable ? static_cast<size_t>(row.requestLength) : 0, 0x40);
        uint8_t response[125] = {};
        {
            DriverTransport transport(device, console, err);
            AttachStep step;
            ASSERT_TRUE(transport.attach("/dev/ipmi0", &step) == 0 && transport.open() == 0);
            if (row.afterTimeout) {
                EXPECT_FALSE(transport.exchange(0xF8, 0x15, request.data(), 3, response).answered());
            }
            console.text.clear();
            const ExchangeResult r = transport.exchange(0xF8, 0x15, request.data(), row.requestLength, response);
            static const std::vector<uint8_t> kNoReply;
            const std::vector<uint8_t>& reply = row.replies.empty() ? kNoReply : row.replies.back().bytes;
            // What the tool sees: the result, the data and the line a failed KCS exchange prints, except
            // for a request the tool never sends; what it costs; what the driver got.
            EXPECT_EQ(std::tuple(r.status, r.completion, r.answered() ? r.length + 1 : 0),
                      std::tuple(row.status, row.completion, r.answered() ? static_cast<int32_t>(reply.size()) : 0));
            if (r.answered()) {
                EXPECT_TRUE(std::equal(reply.begin() + 1, reply.end(), response));
            }
            EXPECT_EQ(console.text, r.answered() || !sendable ? "" : "ERROR !! BMC did not in correct state\n");
            EXPECT_EQ(device.now, row.elapsedMs);
            for (const SentRequest& s : device.sent)
                EXPECT_EQ(s, SentRequest(IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0, 0x3E, 0x15, request));
            EXPECT_EQ(device.sent.empty(), !sendable);
        }
        const std::string said = readAll(err);
        EXPECT_TRUE(*row.says == '\0' ? said.empty() : said.find(row.says) != std::string::npos) << said;
    }
}

struct RouteRow {
    const char* what;
    std::vector<std::string> args;
    InterfaceChoice choice = InterfaceChoice::Automatic;
    std::vector<std::string> planted = {};
    int openErrno = 0;
    int checkErrno = 0;
    linuxhost::Route route = linuxhost::Route::Ports;
    std::string says = "";  // the whole error stream
    const char* opened = nullptr;
};

// A fake root (device nodes) that is also the current directory (kcs.cfg).
TEST(RouteChoice, DriverWhenItIsTherePortsOtherwise) {
    using R = linuxhost::Route;
    using C = InterfaceChoice;
    const std::vector<std::string> dump = {"-d", "dump.bin"};
    const std::string nothingSent = "korvex: nothing was sent to the BMC\n";
    const std::string viaIpmi0 = "korvex: interface: the kernel's IPMI driver, /dev/ipmi0\n";
    const std::string dev = "korvex: interface: the kernel's IPMI driver, ";
    // clang-format off
    const RouteRow rows[] = {
        {"no device", dump, C::Automatic, {}, 0, 0, R::Ports, "korvex: interface: KCS ports (no /dev/ipmi0)\n"},
        {"device", dump, C::Automatic, {"/dev/ipmi0"}, 0, 0, R::Driver, viaIpmi0, "/dev/ipmi0"},
        {"the first name wins", dump, C::Automatic, {"/dev/ipmi/0", "/dev/ipmi0"}, 0, 0, R::Driver, viaIpmi0,
         "/dev/ipmi0"},
        {"the last name", dump, C::Automatic, {"/dev/ipmidev/0"}, 0, 0, R::Driver, dev + "/dev/ipmidev/0\n",
         "/dev/ipmidev/0"},
        {"ports forced", dump, C::Ports, {"/dev/ipmi0"}, 0, 0, R::Ports,
         "korvex: interface: KCS ports (--interface=ports)\n"},
        {"driver forced", dump, C::Driver, {"/dev/ipmi0"}, 0, 0, R::Driver,
         dev + "/dev/ipmi0 (--interface=driver)\n", "/dev/ipmi0"},
        {"driver forced, none", dump, C::Driver, {}, 0, 0, R::Refused,
         "korvex: interface: the kernel's IPMI driver (--interface=driver)\nkorvex: no /dev/ipmi0, /dev/ipmi/0 or "
         "/dev/ipmidev/0: the kernel's IPMI driver is not loaded (modprobe ipmi_si ipmi_devintf)\n" + nothingSent},
        {"not root", dump, C::Automatic, {"/dev/ipmi0"}, EACCES, 0, R::Refused,
         viaIpmi0 + "korvex: cannot open /dev/ipmi0: Permission denied" + (geteuid() != 0 ? " (run as root)" : "") +
             "\n" + nothingSent,
         "/dev/ipmi0"},
        {"not an IPMI device", dump, C::Automatic, {"/dev/ipmi0"}, 0, ENOTTY, R::Refused,
         viaIpmi0 + "korvex: /dev/ipmi0 is not the kernel's IPMI device: Inappropriate ioctl for device\n" +
             nothingSent,
         "/dev/ipmi0"},
        {"kcs.cfg", dump, C::Automatic, {"/dev/ipmi0", "/kcs.cfg"}, 0, 0, R::Driver,
         viaIpmi0 + "korvex: kcs.cfg is ignored: the kernel's IPMI driver has no use for KCS ports\n", "/dev/ipmi0"},
        {"no job", {"-i", "nfs", "-f", "x"}, C::Driver, {"/dev/ipmi0"}, 0, 0, R::Ports, ""},
    };
    // clang-format on
    const std::string dir = test::scratchPath("route");
    const auto previous = std::filesystem::current_path();
    for (const RouteRow& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
        for (const std::string& p : row.planted) {
            std::filesystem::create_directories(std::filesystem::path(dir + p).parent_path());
            test::writeFile(dir + p, "");
        }
        FakeDriver device;
        device.openErrno = row.openErrno;
        device.checkErrno = row.checkErrno;
        test::CaptureConsole console;
        FILE* err = std::tmpfile();
        DriverTransport driver(device, console, err);
        std::vector<std::string> storage{"korvex"};
        storage.insert(storage.end(), row.args.begin(), row.args.end());
        std::vector<char*> argv;
        for (std::string& s : storage) argv.push_back(s.data());
        argv.push_back(nullptr);
        PreflightSettings settings{.interface = row.choice, .root = dir};
        EXPECT_EQ(chooseRoute(static_cast<int>(storage.size()), argv.data(), settings, driver, err), row.route);
        EXPECT_EQ(readAll(err), row.says);
        EXPECT_EQ(device.opened, row.opened ? std::vector<std::string>{dir + row.opened} : std::vector<std::string>{});
        EXPECT_EQ(driver.open(), row.route == R::Driver ? 0 : -1);
        EXPECT_TRUE(device.sent.empty() && console.text.empty());
    }
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvex::linuxhost
