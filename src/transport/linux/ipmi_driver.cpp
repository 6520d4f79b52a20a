#include "transport/linux/ipmi_driver.h"

#include <fcntl.h>
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "transport/kcs.h"

namespace korvex::linuxhost {

int SystemIpmiCalls::open(const char* path) { return ::open(path, O_RDWR | O_CLOEXEC); }

void SystemIpmiCalls::close(int fd) { ::close(fd); }

int SystemIpmiCalls::ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

int SystemIpmiCalls::poll(pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }

int64_t SystemIpmiCalls::monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

// The most response data the KCS exchange can hand over: its 128-byte store
// less NetFn, command and completion code. A longer answer fails on both paths.
constexpr int kMaxResponseData = kcs::kReplyStoreSize - 3;

// What the driver puts in place of an answer when it got none it could use:
// its KCS state machine gave up on the BMC, or the answer was malformed
// (0xFF, "unspecified"); newer kernels also fail every request while they
// hold the BMC for non-functional (0x82, "bus error"). Over the raw KCS
// ports the same BMC fails the exchange; so it does here.
bool driverGaveUp(uint8_t completion, int dataLength) {
    return dataLength == 0 && (completion == IPMI_ERR_UNSPECIFIED || completion == IPMI_BUS_ERR);
}

}  // namespace

DriverTransport::~DriverTransport() {
    if (fd_ >= 0) calls_.close(fd_);
}

int DriverTransport::attach(const char* path, AttachStep* step) {
    *step = AttachStep::Open;
    const int fd = calls_.open(path);
    if (fd < 0) return errno != 0 ? errno : EIO;
    // Only the kernel's IPMI device answers this; /dev/null or a file put at
    // the name does not, and the run is refused before it starts.
    unsigned int address = 0;
    if (calls_.ioctl(fd, IPMICTL_GET_MY_ADDRESS_CMD, &address) != 0) {
        const int error = errno != 0 ? errno : EIO;
        calls_.close(fd);
        *step = AttachStep::Check;
        return error;
    }
    fd_ = fd;
    path_ = path;
    return 0;
}

int DriverTransport::open() { return fd_ >= 0 ? 0 : -1; }

// The device stays open to the end of the run: nothing is sent after a job
// closes the transport, and the owner closes it.
int DriverTransport::close() { return 0; }

void DriverTransport::vcomplain(const char* format, va_list args) {
    std::fprintf(err_, "korvex: %s: ", path_.c_str());
    std::vfprintf(err_, format, args);
    std::fputc('\n', err_);
    console_.print("ERROR !! BMC did not in correct state\n");
}

void DriverTransport::complain(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vcomplain(format, args);
    va_end(args);
}

ExchangeResult DriverTransport::readFailed(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vcomplain(format, args);
    va_end(args);
    return ExchangeResult::readFailure();
}

ExchangeResult DriverTransport::exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData,
                                         int32_t requestLength, uint8_t* responseData) {
    // Refused before the driver sees it, as over KCS, where it would not fit.
    if (fd_ < 0 || requestLength < 0 || requestLength > kcs::kMaxRequestData) return ExchangeResult::writeFailure();
    // Each request has its own id: an answer that comes after its request
    // was given up on must not pass for the answer to the next one.
    const long msgid = ++lastMsgid_;
    if (send(netFnLun, command, requestData, requestLength, msgid) == Sent::Refused)
        return ExchangeResult::writeFailure();
    return receive(msgid, responseData);
}

DriverTransport::Sent DriverTransport::send(uint8_t netFnLun, uint8_t command, const uint8_t* requestData,
                                            int32_t requestLength, long msgid) {
    ipmi_system_interface_addr address{};
    address.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    address.channel = IPMI_BMC_CHANNEL;
    address.lun = static_cast<unsigned char>(netFnLun & 3);
    uint8_t data[kcs::kMaxRequestData] = {};
    if (requestLength > 0) std::memcpy(data, requestData, static_cast<size_t>(requestLength));
    ipmi_req request{};
    request.addr = reinterpret_cast<unsigned char*>(&address);
    request.addr_len = sizeof address;
    request.msgid = msgid;
    request.msg.netfn = static_cast<unsigned char>(netFnLun >> 2);
    request.msg.cmd = command;
    request.msg.data = data;
    request.msg.data_len = static_cast<unsigned short>(requestLength);

    bool waiting = false;
    int64_t waitStart = 0;
    for (;;) {
        if (calls_.ioctl(fd_, IPMICTL_SEND_COMMAND, &request) == 0) {
            if (waiting)
                std::fprintf(err_, "korvex: %s: the driver takes requests again, after %lld s\n", path_.c_str(),
                             static_cast<long long>((calls_.monotonicMs() - waitStart) / 1000));
            return Sent::Yes;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EBUSY) {
            const int64_t now = calls_.monotonicMs();
            if (!waiting) {
                waiting = true;
                waitStart = now;
                std::fprintf(err_,
                             "korvex: %s: the driver refuses requests for now (%s), as it does for about 30 s "
                             "after a BMC cold reset; waiting up to %d s\n",
                             path_.c_str(), std::strerror(error), driver::kBusyLimitMs / 1000);
            }
            const int64_t left = waitStart + driver::kBusyLimitMs - now;
            if (left > 0) {
                calls_.poll(nullptr, 0, static_cast<int>(left < driver::kBusyPauseMs ? left : driver::kBusyPauseMs));
                continue;
            }
            complain("the driver still refused the request after %d s: %s", driver::kBusyLimitMs / 1000,
                     std::strerror(error));
            return Sent::Refused;
        }
        complain("the driver refused the request (NetFn 0x%02X, command 0x%02X): %s", netFnLun >> 2, command,
                 std::strerror(error));
        return Sent::Refused;
    }
}

ExchangeResult DriverTransport::receive(long msgid, uint8_t* responseData) {
    const int64_t deadline = calls_.monotonicMs() + driver::kAnswerLimitMs;
    for (;;) {
        const int64_t left = deadline - calls_.monotonicMs();
        if (left <= 0) return readFailed("no answer within %d s", driver::kAnswerLimitMs / 1000);
        pollfd ready{fd_, POLLIN, 0};
        const int count = calls_.poll(&ready, 1, static_cast<int>(left));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return readFailed("waiting for the answer failed: %s", std::strerror(errno));
        if (count == 0) continue;  // the clock decides
        if ((ready.revents & POLLIN) == 0) return readFailed("the device failed (poll events 0x%x)", ready.revents);

        ipmi_addr from{};
        uint8_t data[IPMI_MAX_MSG_LENGTH];
        ipmi_recv answer{};
        answer.addr = reinterpret_cast<unsigned char*>(&from);
        answer.addr_len = sizeof from;
        answer.msg.data = data;
        answer.msg.data_len = sizeof data;
        bool truncated = false;
        if (calls_.ioctl(fd_, IPMICTL_RECEIVE_MSG_TRUNC, &answer) != 0) {
            const int error = errno;
            if (error == EINTR || error == EAGAIN) continue;
            if (error != EMSGSIZE) return readFailed("receiving the answer failed: %s", std::strerror(error));
            truncated = true;  // taken off the queue all the same
        }
        // Anything else is the late answer to a request given up on.
        if (answer.recv_type != IPMI_RESPONSE_RECV_TYPE || answer.msgid != msgid) continue;
        const int length = answer.msg.data_len;
        if (truncated) return readFailed("the answer was longer than %d bytes", length);
        if (length < 1) return readFailed("an answer without a completion code");
        if (length - 1 > kMaxResponseData)
            return readFailed("an answer of %d data bytes; at most %d fit", length - 1, kMaxResponseData);
        if (driverGaveUp(data[0], length - 1))
            return readFailed("the driver got no usable answer from the BMC (0x%02X)", data[0]);
        if (length > 1) std::memcpy(responseData, data + 1, static_cast<size_t>(length - 1));
        return ExchangeResult::answer(data[0], length - 1);
    }
}

}  // namespace korvex::linuxhost
