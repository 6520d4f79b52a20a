// The transport through the Linux kernel's IPMI driver: one request and its
// answer through the driver's device node (/dev/ipmi0) with the ioctls
// IPMICTL_SEND_COMMAND and IPMICTL_RECEIVE_MSG_TRUNC. The kernel serialises
// the interface, so the tool can share it with monitoring agents and the
// watchdog. Linux only, and not part of the freestanding core: only korvex
// (and its tests) link it.
//
// The jobs see what the KCS exchange gives them. Every way the driver can
// fail an exchange prints the KCS exchange's console line, so that the
// console text is the same on both paths; what exactly happened goes to the
// front end's error stream.
#pragma once

#include <poll.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "transport/transport.h"

namespace korvex::linuxhost {

// The system calls the transport makes, as the C library offers them (-1
// and errno on failure): the seam through which the tests put a fake device
// and a fake clock in the kernel's place.
class IpmiDeviceCalls {
public:
    virtual int open(const char* path) = 0;  // read-write, close-on-exec
    virtual void close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    // With no descriptor (fds null, count 0) a plain pause.
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
    virtual int64_t monotonicMs() = 0;

protected:
    ~IpmiDeviceCalls() = default;
};

class SystemIpmiCalls final : public IpmiDeviceCalls {
public:
    int open(const char* path) override;
    void close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    int64_t monotonicMs() override;
};

namespace driver {

// No answer within this fails the exchange, as a KCS wait that runs out.
inline constexpr int kAnswerLimitMs = 30000;
// The driver refuses requests with EBUSY for its maintenance window after a
// BMC cold reset sent through it (30 s by default, checked once a second);
// the tool waits that out, up to this long, before it fails the exchange.
inline constexpr int kBusyLimitMs = 60000;
inline constexpr int kBusyPauseMs = 1000;

}  // namespace driver

enum class AttachStep : uint8_t { Open, Check };

class DriverTransport final : public Transport {
public:
    // console: the run's, for the exchange's own line; err: for the details.
    DriverTransport(IpmiDeviceCalls& calls, Console& console, FILE* err)
        : calls_(calls), console_(console), err_(err) {}
    ~DriverTransport();
    DriverTransport(const DriverTransport&) = delete;
    DriverTransport& operator=(const DriverTransport&) = delete;

    // Opens the device node and asks the driver for this user's address, which
    // only the kernel's IPMI device answers. 0 when both work; otherwise the
    // errno of the step that failed, named in *step. Sends nothing to the BMC.
    int attach(const char* path, AttachStep* step);

    // -1 unless attached.
    int open() override;
    int close() override;
    ExchangeResult exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData, int32_t requestLength,
                            uint8_t* responseData) override;

private:
    enum class Sent : uint8_t { Yes, Refused };
    Sent send(uint8_t netFnLun, uint8_t command, const uint8_t* requestData, int32_t requestLength, long msgid);
    ExchangeResult receive(long msgid, uint8_t* responseData);
    // Print the detail on err and the exchange's own line on the console.
    void complain(const char* format, ...) __attribute__((format(printf, 2, 3)));
    ExchangeResult readFailed(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vcomplain(const char* format, va_list args);

    IpmiDeviceCalls& calls_;
    Console& console_;
    FILE* err_;
    int fd_ = -1;
    std::string path_;
    long lastMsgid_ = 0;
};

}  // namespace korvex::linuxhost
