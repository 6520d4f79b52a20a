// The transport through the kernel's IPMI driver, against a fake driver and
// clock: each thing the driver can do to one exchange; and korvex's choice of
// the way to the BMC, and its check of the ports, before a run.
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "korvex/interface.h"
#include "platform/hosted/hosted.h"
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
    const char* back = "up to 60 s\nkorvex: /dev/ipmi0: the driver takes requests again, after 3 s\n";
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

// /proc/ioports of a QEMU guest with the ISA KCS interface (ipmi_si not loaded).
constexpr const char* kGuestIoports =
    "0000-0cf7 : PCI Bus 0000:00\n"
    "  0600-063f : 0000:00:01.3\n"
    "    0604-0605 : ACPI PM1a_CNT_BLK\n"
    "  0ca2-0ca3 : IPI0001:00\n"
    "    0ca2-0ca2 : IPMI Address 1\n"
    "    0ca3-0ca3 : IPMI Address 2\n"
    "0cf8-0cff : PCI conf1\n";

// A raw SMBIOS type 38 entry: interface type (1 KCS), base address with the
// I/O flag in bit 0, modifier (bits 7..6 register spacing, bit 4 the
// address's lowest bit).
std::string smbios38(uint8_t type, uint64_t base, uint8_t modifier, uint8_t length = 0x12) {
    std::string raw = {38, static_cast<char>(length), 0, 0x30, static_cast<char>(type), 0x20, 0x20, 0};
    for (int i = 0; i < 8; ++i) raw += static_cast<char>(base >> (8 * i));
    return raw + static_cast<char>(modifier) + std::string("\x05\0\0", 3);
}

enum class Plant { None, File, Symlink, Fifo, Folder };
enum class Owner { Runner, Other, RunningUser };  // Other: neither root nor the user running korvex

struct Row {
    std::vector<std::string> args = {"-d", "dump.bin"};
    InterfaceChoice choice = InterfaceChoice::Automatic;
    Plant plant = Plant::File;  // kcs.cfg
    std::string bytes = "CMD CA3 DATA CA2\n";
    mode_t mode = 0644;
    Owner owner = Owner::Runner;
    const char* ioports = kGuestIoports;    // nullptr: no /proc/ioports
    std::string smbios = {};                // the raw entry 38-0, none if empty
    bool acpi = false;                      // the ACPI device IPI0001:00 exists
    std::vector<std::string> planted = {};  // under the root: device nodes, the kernel's IPMI driver loaded
    int openErrno = 0, checkErrno = 0;      // of the device node
    int refuse = 0;                         // the kernel refuses port access with this
    bool forcePorts = false;
    bool forceDriver = false;
    Route route = Route::Ports;
    bool runs = false;                 // on the ports; the driver's route always runs
    std::vector<uint16_t> asked = {};  // of the kernel
    // Off the ports: all of it. Refused: part of the one line; runs: the last line; none: nothing said.
    std::string says = {};
    std::string warns = {};
    const char* opened = nullptr;  // the device node
};

// What korvex's main does before a run: the way to the BMC, and for the
// ports the check of kcs.cfg, the firmware's tables and the grant. In a
// scratch directory (for kcs.cfg) with a fake root, driver and grant.
TEST(FrontEnd, RouteKcsCfgAndGrant) {
    const std::string dir = test::scratchPath("preflight"), root = dir + "/root";
    const auto previous = std::filesystem::current_path();
    const auto plant = [&root](const std::string& path, const std::string& bytes) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        test::writeFile(root + path, bytes);
    };
    const std::vector<uint16_t> ca23 = {0xCA2, 0xCA3}, ca45 = {0xCA4, 0xCA5};
    const std::string standardLine = "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (default)\n";
    const std::string fromCfg = "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (from kcs.cfg)\n";
    const std::string ca5 = "korvex: KCS ports: command/status 0xCA5, data 0xCA4 (from kcs.cfg)\n";
    const std::string qemuSmbios = smbios38(1, 0xCA3, 0x01);
    std::string ipmiSi = kGuestIoports;  // the kernel's driver on the KCS registers
    ipmiSi.insert(ipmiSi.find("    0ca3-0ca3"), "      0ca2-0ca2 : ipmi_si\n");
    const std::string bigCfg = std::string(4080, ' ') + "CMD CA5 DATA CA4";
    const std::string driver = "korvex: the kernel's IPMI driver is loaded (";
    const std::string eperm = "korvex: cannot access I/O ports 0xCA2/0xCA3: Operation not permitted" +
                              std::string(geteuid() == 0 ? " (the kernel refuses raw port access" : " (run as root)");
    const std::string nothingSent = "korvex: nothing was sent to the BMC\n";
    const std::string viaIpmi0 = "korvex: interface: the kernel's IPMI driver, /dev/ipmi0\n";
    const std::string dev = "korvex: interface: the kernel's IPMI driver, ";
    const std::vector<std::string> ipmi0 = {"/dev/ipmi0"};
    using enum Plant;
    using enum Owner;
    using C = InterfaceChoice;
    using R = Route;
    // clang-format off
    const Row rows[] = {
        {.args = {}, .plant = None, .planted = ipmi0, .refuse = EPERM, .runs = true},
        {.args = {"-i", "nfs", "-f", "x"}, .choice = C::Driver, .planted = ipmi0, .refuse = EPERM, .runs = true},
        {.args = {"-r"}, .refuse = EPERM, .runs = true},
        {.args = {"-c"}, .refuse = EPERM, .runs = true},
        {.args = {"-f", "fw.bin", "-i", "usb"}, .plant = None, .runs = true, .asked = ca23, .says = standardLine},
        {.args = {"-c", "-d", "b"}, .plant = None, .runs = true, .asked = ca23, .says = standardLine},
        {.args = {"-c", "-f", "r"}, .choice = C::Ports, .runs = true, .asked = ca23, .says = fromCfg,
         .warns = "korvex: interface: KCS ports (--interface=ports)\n"},
        {.refuse = EPERM, .asked = {0xCA2}, .says = eperm},
        {.args = {"-f", "fw.bin", "-i", "lan", "-h", "192.0.2.1", "623", "-u", "admin", "-p", "secret"},
         .refuse = EPERM, .asked = {0xCA2}, .says = eperm},
        {.args = {"-f", "fw.bin"}, .refuse = ENOSYS, .asked = {0xCA2}, .says = "gives programs no port access"},
        {.refuse = ENOTSUP, .asked = {0xCA2}, .says = "no x86 I/O ports"},
        {.refuse = EINVAL, .asked = {0xCA2}, .says = "Invalid argument\n"},
        {.planted = {"/sys/module/ipmi_si"}, .asked = ca23, .says = driver + "/sys/module/ipmi_si exists)"},
        {.choice = C::Ports, .planted = ipmi0, .asked = ca23, .says = driver + "/dev/ipmi0 exists)"},
        {.choice = C::Ports, .planted = {"/dev/ipmi/0"}, .asked = ca23, .says = driver + "/dev/ipmi/0 exists)"},
        {.choice = C::Ports, .planted = {"/dev/ipmidev/0"}, .asked = ca23, .says = driver + "/dev/ipmidev/0 exists)"},
        {.choice = C::Ports, .planted = ipmi0, .forceDriver = true, .runs = true, .asked = ca23, .says = fromCfg,
         .warns = "warning"},
        {.plant = None, .runs = true, .asked = ca23,
         .says = "korvex: interface: KCS ports (no /dev/ipmi0)\n" + standardLine},
        {.bytes = "CMD CA5\nDATA CA4\n", .runs = true, .asked = ca45, .says = ca5},
        {.owner = RunningUser, .runs = true, .asked = ca23, .says = fromCfg},
        {.plant = Symlink, .says = "kcs.cfg refused: it is a symbolic link"},
        {.plant = Fifo, .says = "kcs.cfg refused: it is a FIFO"},
        {.plant = Folder, .says = "kcs.cfg refused: it is a directory"},
        {.owner = Other, .says = "kcs.cfg refused: it is owned by uid "},
        {.mode = 0664, .says = "kcs.cfg refused: others than its owner may write it (mode 0664)"},
        {.mode = 0646, .says = "(mode 0646)"},
        {.bytes = bigCfg, .runs = true, .asked = ca45, .says = ca5},
        {.bytes = " " + bigCfg, .says = "kcs.cfg refused: it is larger than 4096 bytes"},
        {.bytes = "CMD 0xCA3 DATA CA2", .says = "(from kcs.cfg) refused: the command/status port is 0;"},
        {.bytes = "CMD CA3 DATA FF", .says = "refused: the data port 0xFF is below 0x100"},
        {.bytes = "CMD CA3 DATA 100", .runs = true, .asked = {0x100, 0xCA3},
         .says = "korvex: KCS ports: command/status 0xCA3, data 0x100 (from kcs.cfg)\n"},
        {.bytes = "CMD CF9 DATA CF8", .asked = {0xCF8, 0xCF9},
         .says = "refused: port 0xCF8 is held by \"PCI conf1\" (/proc/ioports)"},
        {.bytes = "CMD 605 DATA 604", .asked = {0x604, 0x605}, .says = "\"ACPI PM1a_CNT_BLK\""},
        {.plant = None, .ioports = ipmiSi.c_str(), .forceDriver = true, .asked = ca23,
         .says = "(default) refused: port 0xCA2 is held by the kernel's IPMI driver (ipmi_si in /proc/ioports)"},
        {.ioports = "0000-0000 : PCI Bus 0000:00\n  0000-0000 : dma1\n", .runs = true, .asked = ca23, .says = fromCfg,
         .warns = "/proc/ioports hides its addresses"},
        {.ioports = nullptr, .runs = true, .asked = ca23, .says = fromCfg, .warns = "cannot read /proc/ioports"},
        {.plant = None, .smbios = qemuSmbios, .runs = true, .asked = ca23, .says = standardLine},
        {.bytes = "CMD CA5 DATA CA4", .smbios = qemuSmbios, .asked = ca45,
         .says = "command/status 0xCA3, data 0xCA2 (SMBIOS); to use those, put \"CMD CA3 DATA CA2\" into kcs.cfg"},
        {.bytes = "CMD CA5 DATA CA4", .smbios = qemuSmbios, .forcePorts = true, .runs = true, .asked = ca45,
         .says = ca5, .warns = "(SMBIOS); going ahead as told (--force-ports)"},
        {.plant = None, .smbios = smbios38(1, 0xCA9, 0x41), .asked = ca23,
         .says = "put \"CMD CAC DATA CA8\" into kcs.cfg"},
        {.bytes = "CMD CA4 DATA CA3", .smbios = smbios38(1, 0xCA3, 0x11), .runs = true, .asked = {0xCA3, 0xCA4},
         .says = "korvex: KCS ports: command/status 0xCA4, data 0xCA3 (from kcs.cfg)\n"},
        {.plant = None, .smbios = smbios38(1, 0xFED40000, 0x00), .asked = ca23,
         .says = "as memory-mapped at 0xFED40000 (SMBIOS)"},
        {.plant = None, .smbios = smbios38(1, 0xCA3, 0xC0, 0x10), .runs = true, .asked = ca23, .says = standardLine},
        {.plant = None, .smbios = smbios38(3, 0xE5, 0x01), .runs = true, .asked = ca23, .says = standardLine},
        {.plant = None, .acpi = true, .runs = true, .asked = ca23, .says = standardLine},
        {.bytes = "CMD CA5 DATA CA4", .acpi = true, .asked = ca45, .says = "data 0xCA2 (ACPI IPI0001:00)"},
        {.bytes = "CMD CAC DATA CA8", .ioports = "0ca8-0ca8 : IPI0001:00\n0cac-0cac : IPI0001:00\n", .acpi = true,
         .runs = true, .asked = {0xCA8, 0xCAC},
         .says = "korvex: KCS ports: command/status 0xCAC, data 0xCA8 (from kcs.cfg)\n"},
        // The kernel's driver, and kcs.cfg of no use to it.
        {.plant = None, .planted = ipmi0, .route = R::Driver, .says = viaIpmi0, .opened = "/dev/ipmi0"},
        {.plant = None, .planted = {"/dev/ipmi/0", "/dev/ipmi0"}, .route = R::Driver, .says = viaIpmi0,
         .opened = "/dev/ipmi0"},
        {.plant = None, .planted = {"/dev/ipmidev/0"}, .route = R::Driver, .says = dev + "/dev/ipmidev/0\n",
         .opened = "/dev/ipmidev/0"},
        {.choice = C::Driver, .plant = None, .planted = ipmi0, .route = R::Driver,
         .says = dev + "/dev/ipmi0 (--interface=driver)\n", .opened = "/dev/ipmi0"},
        {.choice = C::Driver, .plant = None, .route = R::Refused,
         .says = "korvex: interface: the kernel's IPMI driver (--interface=driver)\nkorvex: no /dev/ipmi0, "
                 "/dev/ipmi/0 or /dev/ipmidev/0: the kernel's IPMI driver is not loaded (modprobe ipmi_si "
                 "ipmi_devintf)\n" + nothingSent},
        {.plant = None, .planted = ipmi0, .openErrno = EACCES, .route = R::Refused,
         .says = viaIpmi0 + "korvex: cannot open /dev/ipmi0: Permission denied" +
                 (geteuid() != 0 ? " (run as root)" : "") + "\n" + nothingSent,
         .opened = "/dev/ipmi0"},
        {.plant = None, .planted = ipmi0, .checkErrno = ENOTTY, .route = R::Refused,
         .says = viaIpmi0 + "korvex: /dev/ipmi0 is not the kernel's IPMI device: Inappropriate ioctl for device\n" +
                 nothingSent,
         .opened = "/dev/ipmi0"},
        {.planted = ipmi0, .route = R::Driver,
         .says = viaIpmi0 + "korvex: kcs.cfg is ignored: the kernel's IPMI driver has no use for KCS ports\n",
         .opened = "/dev/ipmi0"},
    };
    // clang-format on
    const uid_t self = geteuid();
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(root);
        std::filesystem::current_path(dir);
        if (r.ioports != nullptr) plant("/proc/ioports", r.ioports);
        if (!r.smbios.empty()) plant("/sys/firmware/dmi/entries/38-0/raw", r.smbios);
        if (r.acpi) plant("/sys/bus/acpi/devices/IPI0001:00/hid", "IPI0001\n");
        for (const std::string& p : r.planted) plant(p, "");
        if (r.plant == Plant::File) test::writeFile("kcs.cfg", r.bytes);
        if (r.plant == Plant::Symlink) test::writeFile("real.cfg", r.bytes);
        ASSERT_TRUE(r.plant != Plant::Symlink || symlink("real.cfg", "kcs.cfg") == 0);
        ASSERT_TRUE(r.plant != Plant::Fifo || mkfifo("kcs.cfg", 0644) == 0);
        ASSERT_TRUE(r.plant != Plant::Folder || mkdir("kcs.cfg", 0755) == 0);
        ASSERT_TRUE(r.plant != Plant::File || chmod("kcs.cfg", r.mode) == 0);
        PreflightSettings settings{
            .interface = r.choice, .allowKernelDriver = r.forceDriver, .forcePorts = r.forcePorts, .root = root};
        if (r.owner != Owner::Runner && self == 0) {
            ASSERT_EQ(chown("kcs.cfg", 4242, static_cast<gid_t>(-1)), 0);
            if (r.owner == Owner::RunningUser) settings.user = 4242;
        } else if (r.owner == Owner::Other) {
            settings.user = self + 1;
        }
        std::vector<std::string> args = {"korvex"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<uint16_t> asked;
        const PortGrant grant = [&](uint16_t port, int* error) {
            asked.push_back(port);
            *error = r.refuse;
            return r.refuse == 0;
        };
        FakeDriver device;
        device.openErrno = r.openErrno;
        device.checkErrno = r.checkErrno;
        test::CaptureConsole console;
        FILE* err = std::tmpfile();
        DriverTransport transport(device, console, err);
        hosted::StdioFileSystem files;
        CheckedKcsCfg kcsCfg{files};
        const int argc = static_cast<int>(args.size());
        const Route route = chooseRoute(argc, argv.data(), settings, transport, err);
        EXPECT_EQ(route, r.route);
        EXPECT_EQ(route == Route::Ports && preflight(kcsCfg, grant, argc, argv.data(), settings, err), r.runs);
        const std::string message = readAll(err);
        EXPECT_EQ(asked, r.asked);
        EXPECT_EQ(device.opened, r.opened ? std::vector<std::string>{root + r.opened} : std::vector<std::string>{});
        EXPECT_EQ(transport.open(), r.route == Route::Driver ? 0 : -1);
        EXPECT_TRUE(device.sent.empty() && console.text.empty());
        std::istringstream lines(message);
        for (std::string line; std::getline(lines, line);) EXPECT_TRUE(line.starts_with("korvex: ")) << line;
        if (r.route != Route::Ports || r.says.empty()) {
            EXPECT_EQ(message, r.says);
        } else if (r.runs) {
            EXPECT_TRUE(message.ends_with(r.says) && message.find(r.warns) != std::string::npos) << message;
            // The run reads the bytes that were checked, whatever kcs.cfg holds by then.
            std::filesystem::remove("kcs.cfg");
            test::writeFile("kcs.cfg", "CMD CF9 DATA 70");
            KcsPortSet set;
            readKcsPortSet(kcsCfg, &set);
            if (!r.asked.empty()) {
                EXPECT_EQ(distinctPorts(set), r.asked);
            }
        } else {
            // The way to the BMC; kcs.cfg and its ports are refused on one line; the rest also say that
            // nothing was sent.
            const long lines = 1 + (r.refuse != 0 ? 2 : !r.planted.empty() ? 3 : 1);
            EXPECT_TRUE(std::count(message.begin(), message.end(), '\n') == lines &&
                        message.find(r.says) != std::string::npos)
                << message;
        }
    }
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvex::linuxhost
