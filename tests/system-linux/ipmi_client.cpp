// ipmi-client: sends one IPMI request through the kernel's IPMI driver (/dev/ipmi0) a number of times, each after
// the answer to the one before, and reports the last answer and the rate. The Linux guest tests use it to talk to
// the BMC through the driver. Built static, for the guest's initramfs.
//
//   ipmi-client [-n COUNT] NETFN CMD   (hex)
//
// It stops early at the first answer with a completion code other than 0. Prints key=value lines: requests, ok
// (answers with code 0), cc and data of the last answer, last_seconds (how long the last one took), per_second.
// Exit status 0 when every request got an answer (whatever its code), 1 when the driver failed or no answer came
// within 30 s, 2 on a bad command line.
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
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int failed(const char* what) {
    std::fprintf(stderr, "ipmi-client: %s: %s\n", what, std::strerror(errno));
    return 1;
}

// One request and its answer; 1 with a message when the driver fails.
int exchange(int fd, long msgid, unsigned char netFn, unsigned char cmd, std::vector<unsigned char>* answer) {
    ipmi_system_interface_addr address{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
    ipmi_req req{};
    req.addr = reinterpret_cast<unsigned char*>(&address);
    req.addr_len = sizeof address;
    req.msgid = msgid;
    req.msg.netfn = netFn;
    req.msg.cmd = cmd;
    int rc;
    while ((rc = ioctl(fd, IPMICTL_SEND_COMMAND, &req)) < 0 && errno == EINTR) {
    }
    if (rc < 0) return failed("send");
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 30000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) errno = ETIMEDOUT;
        if (ready <= 0) return failed("no answer");
        ipmi_addr from{};
        unsigned char data[IPMI_MAX_MSG_LENGTH];
        ipmi_recv recv{};
        recv.addr = reinterpret_cast<unsigned char*>(&from);
        recv.addr_len = sizeof from;
        recv.msg.data = data;
        recv.msg.data_len = sizeof data;
        if (ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) < 0 && errno != EMSGSIZE) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return failed("receive");
        }
        // Only the answer to this request counts; anything else (an event) is skipped.
        if (recv.recv_type != IPMI_RESPONSE_RECV_TYPE || recv.msgid != msgid) continue;
        if (recv.msg.data_len == 0) return failed("an answer without a completion code");
        answer->assign(data, data + recv.msg.data_len);
        return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long count = 1;
    int i = 1;
    if (argc > 2 && std::strcmp(argv[1], "-n") == 0) {
        count = std::strtoul(argv[2], nullptr, 10);
        i = 3;
    }
    if (argc != i + 2 || count == 0) {
        std::fprintf(stderr, "usage: ipmi-client [-n COUNT] NETFN CMD (hex)\n");
        return 2;
    }
    const auto netFn = static_cast<unsigned char>(std::strtoul(argv[i], nullptr, 16));
    const auto cmd = static_cast<unsigned char>(std::strtoul(argv[i + 1], nullptr, 16));
    const int fd = open("/dev/ipmi0", O_RDWR | O_CLOEXEC);
    if (fd < 0) return failed("/dev/ipmi0");
    std::vector<unsigned char> answer;
    unsigned long sent = 0, ok = 0;
    double last = 0;
    const Clock::time_point start = Clock::now();
    while (sent < count) {
        const Clock::time_point before = Clock::now();
        if (exchange(fd, static_cast<long>(sent), netFn, cmd, &answer) != 0) return 1;
        last = std::chrono::duration<double>(Clock::now() - before).count();
        ++sent;
        if (answer[0] != 0) break;
        ++ok;
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("requests=%lu\nok=%lu\ncc=0x%02x\ndata=", sent, ok, answer[0]);
    for (size_t k = 1; k < answer.size(); ++k) std::printf("%s%02x", k > 1 ? " " : "", answer[k]);
    std::printf("\nlast_seconds=%.3f\nper_second=%.1f\n", last, total > 0 ? static_cast<double>(sent) / total : 0.0);
    return 0;
}
