// ipmi-client: sends one IPMI request through the kernel's IPMI driver (/dev/ipmi0) a number of times, each after
// the answer to the one before, and reports the last answer and the rate. The Linux guest tests use it to talk to
// the BMC through the driver. Built static, for the guest's initramfs.
//
//   ipmi-client [-n COUNT] NETFN CMD   (hex)
//
// It stops early at the first answer with a completion code other than 0. Prints key=value lines: ok (answers
// with code 0), cc and data of the last answer, per_second. Exit status 0 when every request got an answer
// (whatever its code), 1 when the driver failed or no answer came within 30 s.
#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int failed(const char* what) {
    std::fprintf(stderr, "ipmi-client: %s: %s\n", what, std::strerror(errno));
    return 1;
}

// One request; its answer (completion code first) into data, its length into *length.
int exchange(int fd, long msgid, unsigned char netFn, unsigned char cmd, unsigned char* data, size_t* length) {
    ipmi_system_interface_addr address{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
    ipmi_req req{};
    req.addr = reinterpret_cast<unsigned char*>(&address);
    req.addr_len = sizeof address;
    req.msgid = msgid;
    req.msg.netfn = netFn;
    req.msg.cmd = cmd;
    if (ioctl(fd, IPMICTL_SEND_COMMAND, &req) < 0) return failed("send");
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) return failed("no answer");
        ipmi_addr from{};
        ipmi_recv recv{};
        recv.addr = reinterpret_cast<unsigned char*>(&from);
        recv.addr_len = sizeof from;
        recv.msg.data = data;
        recv.msg.data_len = IPMI_MAX_MSG_LENGTH;
        if (ioctl(fd, IPMICTL_RECEIVE_MSG, &recv) < 0) return failed("receive");
        // Only the answer to this request counts; anything else (an event) is skipped.
        if (recv.recv_type != IPMI_RESPONSE_RECV_TYPE || recv.msgid != msgid) continue;
        if (recv.msg.data_len == 0) return failed("an answer without a completion code");
        *length = recv.msg.data_len;
        return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool repeat = argc == 5 && std::strcmp(argv[1], "-n") == 0;
    if (argc != 3 && !repeat) {
        std::fprintf(stderr, "usage: ipmi-client [-n COUNT] NETFN CMD (hex)\n");
        return 2;
    }
    const unsigned long count = repeat ? std::strtoul(argv[2], nullptr, 10) : 1;
    const auto netFn = static_cast<unsigned char>(std::strtoul(argv[argc - 2], nullptr, 16));
    const auto cmd = static_cast<unsigned char>(std::strtoul(argv[argc - 1], nullptr, 16));
    const int fd = open("/dev/ipmi0", O_RDWR | O_CLOEXEC);
    if (fd < 0) return failed("/dev/ipmi0");
    unsigned char answer[IPMI_MAX_MSG_LENGTH] = {};
    size_t length = 1;
    unsigned long sent = 0, ok = 0;
    const auto start = std::chrono::steady_clock::now();
    while (sent < count) {
        if (exchange(fd, static_cast<long>(sent++), netFn, cmd, answer, &length) != 0) return 1;
        if (answer[0] != 0) break;
        ++ok;
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("ok=%lu\ncc=0x%02x\ndata=", ok, answer[0]);
    for (size_t k = 1; k < length; ++k) std::printf("%s%02x", k > 1 ? " " : "", answer[k]);
    std::printf("\nper_second=%.1f\n", total > 0 ? static_cast<double>(sent) / total : 0.0);
    return 0;
}
