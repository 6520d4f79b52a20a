// ipmi-client: sends one IPMI request through the kernel's IPMI driver
// (/dev/ipmi0) a number of times, each after the answer to the one before,
// and reports the last answer and the rate. The Linux guest tests use it to
// talk to the BMC through the driver. Built static, for the guest's initramfs.
//
//   ipmi-client [-d DEVICE] [-n COUNT] NETFN CMD [DATA]...   (numbers in hex)
//
// It stops early at the first answer with a completion code other than 0.
// Prints key=value lines: requests, ok (answers with code 0), cc and data of
// the last answer, last_seconds (how long the last one took), per_second.
// Exit status 0 when every request got an answer (whatever its code), 1 when
// the driver failed or no answer came within 30 s, 2 on a bad command line.
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
constexpr int kAnswerTimeoutMs = 30000;

bool parseHex(const char* text, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtoul(text, &end, 16);
    return *text != '\0' && *end == '\0' && errno == 0 && *value <= max;
}

int usage() {
    std::fprintf(stderr, "usage: ipmi-client [-d DEVICE] [-n COUNT] NETFN CMD [DATA]... (hex)\n");
    return 2;
}

// One request and its answer; false with a message when the driver fails.
bool exchange(int fd, long msgid, unsigned char netFn, unsigned char cmd, std::vector<unsigned char>& request,
              std::vector<unsigned char>* answer) {
    ipmi_system_interface_addr address{};
    address.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    address.channel = IPMI_BMC_CHANNEL;
    ipmi_req req{};
    req.addr = reinterpret_cast<unsigned char*>(&address);
    req.addr_len = sizeof address;
    req.msgid = msgid;
    req.msg.netfn = netFn;
    req.msg.cmd = cmd;
    req.msg.data = request.data();
    req.msg.data_len = static_cast<unsigned short>(request.size());
    int rc;
    while ((rc = ioctl(fd, IPMICTL_SEND_COMMAND, &req)) < 0 && errno == EINTR) {
    }
    if (rc < 0) {
        std::fprintf(stderr, "ipmi-client: send: %s\n", std::strerror(errno));
        return false;
    }
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, kAnswerTimeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            std::fprintf(stderr, "ipmi-client: %s\n", ready == 0 ? "no answer within 30 s" : std::strerror(errno));
            return false;
        }
        ipmi_addr from{};
        unsigned char data[IPMI_MAX_MSG_LENGTH];
        ipmi_recv recv{};
        recv.addr = reinterpret_cast<unsigned char*>(&from);
        recv.addr_len = sizeof from;
        recv.msg.data = data;
        recv.msg.data_len = sizeof data;
        if (ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) < 0 && errno != EMSGSIZE) {
            if (errno == EINTR || errno == EAGAIN) continue;
            std::fprintf(stderr, "ipmi-client: receive: %s\n", std::strerror(errno));
            return false;
        }
        // Only the answer to this request counts; anything else (an event) is skipped.
        if (recv.recv_type != IPMI_RESPONSE_RECV_TYPE || recv.msgid != msgid) continue;
        if (recv.msg.data_len == 0) {
            std::fprintf(stderr, "ipmi-client: an answer without a completion code\n");
            return false;
        }
        answer->assign(data, data + recv.msg.data_len);
        return true;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* device = "/dev/ipmi0";
    unsigned long count = 1;
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (std::strcmp(argv[i], "-d") == 0) {
            device = argv[i + 1];
        } else if (std::strcmp(argv[i], "-n") == 0) {
            char* end = nullptr;
            count = std::strtoul(argv[i + 1], &end, 10);
            if (*end != '\0' || count == 0 || count > 10000000) return usage();
        } else {
            return usage();
        }
    }
    unsigned long netFn = 0, cmd = 0, byte = 0;
    if (argc - i < 2 || !parseHex(argv[i], 0x3F, &netFn) || !parseHex(argv[i + 1], 0xFF, &cmd)) return usage();
    std::vector<unsigned char> request;
    for (int k = i + 2; k < argc; ++k) {
        if (!parseHex(argv[k], 0xFF, &byte)) return usage();
        request.push_back(static_cast<unsigned char>(byte));
    }
    const int fd = open(device, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "ipmi-client: %s: %s\n", device, std::strerror(errno));
        return 1;
    }
    std::vector<unsigned char> answer;
    unsigned long sent = 0, ok = 0;
    double last = 0;
    const Clock::time_point start = Clock::now();
    while (sent < count) {
        const Clock::time_point before = Clock::now();
        if (!exchange(fd, static_cast<long>(sent), static_cast<unsigned char>(netFn), static_cast<unsigned char>(cmd),
                      request, &answer))
            return 1;
        last = std::chrono::duration<double>(Clock::now() - before).count();
        ++sent;
        if (answer[0] != 0) break;
        ++ok;
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    std::printf("requests=%lu\nok=%lu\ncc=0x%02x\ndata=", sent, ok, answer[0]);
    for (size_t k = 1; k < answer.size(); ++k) std::printf("%s%02x", k > 1 ? " " : "", answer[k]);
    std::printf("\nlast_seconds=%.3f\nper_second=%.1f\n", last, total > 0 ? static_cast<double>(sent) / total : 0.0);
    return 0;
}
