// korvex-bmcd: the simulated BMC behind QEMU's KCS interface. QEMU's
// ipmi-bmc-extern device listens on a Unix socket; this program connects to
// it, answers each request with the simulated BMC, and when QEMU goes away
// (end of the stream) saves what the --bmc-... options asked for and exits.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <optional>
#include <thread>

#include "bmc/knobs.h"
#include "bmc/sim_bmc.h"
#include "bmc/vm_protocol.h"
#include "platform/hosted/number.h"

namespace {

struct Settings {
    std::string socketPath;
    double connectSeconds = 10;
    std::optional<uint64_t> stopAfter;
    std::optional<uint64_t> exitAfter;
    bool verbose = false;
};

void printHelp() {
    std::printf(
        "korvex-bmcd: korvex's simulated BMC, as the external BMC of a QEMU guest.\n"
        "Usage: korvex-bmcd [OPTION]... SOCKET\n"
        "Serves the simulated BMC to QEMU's external BMC device over the Unix socket\n"
        "SOCKET, on which QEMU listens, e.g.\n"
        "  -chardev socket,id=ipmi0,path=SOCKET,server=on,wait=off\n"
        "  -device ipmi-bmc-extern,chardev=ipmi0,id=bmc0 -device isa-ipmi-kcs,bmc=bmc0\n"
        "It exits when QEMU closes the connection, or on SIGTERM or SIGINT, after saving\n"
        "what the options ask for.\n"
        "It answers the BMC Global Enables and message flags requests a host's IPMI\n"
        "driver makes, and turns QEMU's KCS interrupt on and off as the host asks.\n"
        "Frames over 1024 bytes are dropped (said once on standard error).\n"
        "\n"
        "Options:\n"
        "  --help                    this text\n"
        "  --help-faults             every fault of --bmc-fault, with its arguments\n"
        "  --version                 the package's version\n"
        "  --connect-timeout=S       keep trying to connect for S seconds (default 10)\n"
        "  --bmcd-stop-after=N       answer N requests, then fall silent (QEMU reports\n"
        "                            completion code 0xC3 to the host after 4 s)\n"
        "  --bmcd-exit-after=N       answer N requests, then close the connection (QEMU\n"
        "                            reports 0xD2 to the host)\n"
        "  --verbose                 one line per request, each dropped frame and each\n"
        "                            change of the interrupt on standard error\n"
        "\n"
        "The simulated BMC:\n"
        "%s"
        "\n"
        "Example, a BMC that keeps its flash in flash.bin after the guest's update:\n"
        "  korvex-bmcd --bmc-save-flash=flash.bin /tmp/bmc.sock\n",
        korvex::bmc::knobHelp(false).c_str());
}

using korvex::hosted::parseNumber;

// 0 to go on, 1 after --help or --version, 2 on a bad option.
int parseArguments(int argc, char** argv, korvex::bmc::SimBmc& bmc, Settings* s) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view prefix) { return arg.substr(prefix.size()); };
        if (arg == "--help") {
            printHelp();
            return 1;
        }
        if (arg == "--help-faults") {
            std::fputs(korvex::bmc::faultHelp(false).c_str(), stdout);
            return 1;
        }
        if (arg == "--version") {
            std::printf("korvex-bmcd %s\n", KORVEX_VERSION);
            return 1;
        }
        if (arg == "--verbose") {
            s->verbose = true;
        } else if (arg.starts_with("--connect-timeout=")) {
            uint64_t seconds = 0;
            if (!parseNumber(value("--connect-timeout="), &seconds)) {
                std::fprintf(stderr, "korvex-bmcd: bad --connect-timeout\n");
                return 2;
            }
            s->connectSeconds = static_cast<double>(seconds);
        } else if (arg.starts_with("--bmcd-stop-after=")) {
            uint64_t n = 0;
            if (!parseNumber(value("--bmcd-stop-after="), &n)) {
                std::fprintf(stderr, "korvex-bmcd: --bmcd-stop-after wants a number\n");
                return 2;
            }
            s->stopAfter = n;
        } else if (arg.starts_with("--bmcd-exit-after=")) {
            uint64_t n = 0;
            if (!parseNumber(value("--bmcd-exit-after="), &n)) {
                std::fprintf(stderr, "korvex-bmcd: --bmcd-exit-after wants a number\n");
                return 2;
            }
            s->exitAfter = n;
        } else if (arg.starts_with("--bmc-")) {
            std::string error;
            if (!bmc.applyOption(arg, &error)) {
                std::fprintf(stderr, "korvex-bmcd: %s\n", error.c_str());
                return 2;
            }
        } else if (!arg.starts_with("-") && s->socketPath.empty()) {
            s->socketPath = arg;
        } else {
            std::fprintf(stderr, "korvex-bmcd: unknown option %s (see --help)\n", argv[i]);
            return 2;
        }
    }
    if (s->socketPath.empty()) {
        std::fprintf(stderr, "korvex-bmcd: no socket named (see --help)\n");
        return 2;
    }
    return 0;
}

// QEMU may not be listening yet when this program starts.
int connectWithRetry(const Settings& s) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (s.socketPath.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "korvex-bmcd: socket path too long: %s\n", s.socketPath.c_str());
        return -1;
    }
    std::memcpy(address.sun_path, s.socketPath.c_str(), s.socketPath.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(s.connectSeconds);
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            std::perror("korvex-bmcd: socket");
            return -1;
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
        const int error = errno;
        close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "korvex-bmcd: cannot connect to %s: %s\n", s.socketPath.c_str(), std::strerror(error));
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool sendAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void logRequest(const std::vector<uint8_t>& frame, bool answered) {
    if (frame.size() < 3) return;
    std::fprintf(stderr, "korvex-bmcd: seq %u netfn 0x%02x cmd 0x%02x, %zu data bytes%s\n", frame[0], frame[1] >> 2,
                 frame[2], frame.size() >= 4 ? frame.size() - 4 : 0, answered ? "" : ", no answer");
}

// Serves until QEMU closes the stream or the BMC is told to go away.
void serve(int fd, const Settings& s, korvex::bmc::vm::Responder& responder) {
    korvex::bmc::vm::Decoder decoder;
    uint8_t buffer[4096];
    using Event = korvex::bmc::vm::Decoder::Event;
    if (!sendAll(fd, korvex::bmc::vm::greeting())) return;
    uint64_t dropped = 0;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            const Event event = decoder.feed(buffer[i]);
            if (event == Event::Dropped) {
                // Said once: a peer that sends nothing but garbage must not flood the log.
                if (dropped++ == 0 || s.verbose)
                    std::fprintf(stderr, "korvex-bmcd: dropped a frame from QEMU: %s\n", decoder.dropReason());
                continue;
            }
            // Control commands from QEMU (version, capabilities, ...) want no answer.
            if (event == Event::Control) {
                responder.control(decoder.frame());
                // QEMU sends these once it has taken the connection: a harness that
                // starts a BMC behind a running guest waits for them.
                if (s.verbose && !decoder.frame().empty())
                    std::fprintf(stderr, "korvex-bmcd: control command 0x%02x from QEMU\n", decoder.frame()[0]);
            }
            if (event != Event::Message) continue;
            const bool irqBefore = responder.irqEnabled();
            const auto reply = responder.answer(decoder.frame());
            if (s.verbose) logRequest(decoder.frame(), reply.has_value());
            if (s.verbose && responder.irqEnabled() != irqBefore)
                std::fprintf(stderr, "korvex-bmcd: KCS interrupt %s\n", responder.irqEnabled() ? "on" : "off");
            if (reply && !sendAll(fd, *reply)) return;
            if (responder.leaving()) return;
        }
    }
}

// The signal handler's only way to the connection. Shutting down the reading
// side ends serve() at its next read as QEMU's closing the stream does, so the
// BMC is saved as usual; shutdown() may be called from a signal handler.
volatile sig_atomic_t g_connection = -1;

void onStopSignal(int) {
    if (g_connection >= 0) shutdown(g_connection, SHUT_RD);
}

}  // namespace

int main(int argc, char** argv) {
    korvex::bmc::SimBmc bmc;
    Settings settings;
    if (const int rc = parseArguments(argc, argv, bmc, &settings); rc != 0) return rc == 1 ? 0 : 2;

    const int fd = connectWithRetry(settings);
    if (fd < 0) return 1;
    korvex::bmc::vm::Responder responder(bmc);
    if (settings.stopAfter) responder.stopAfter(*settings.stopAfter);
    if (settings.exitAfter) responder.exitAfter(*settings.exitAfter);
    g_connection = fd;
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    // Told to leave before the first request: connect, then go.
    if (!responder.leaving()) serve(fd, settings, responder);
    g_connection = -1;
    close(fd);

    std::string error;
    if (!bmc.finish(&error)) {
        std::fprintf(stderr, "korvex-bmcd: %s\n", error.c_str());
        return 1;
    }
    if (settings.verbose)
        std::fprintf(stderr, "korvex-bmcd: %llu requests answered, %llu not\n",
                     static_cast<unsigned long long>(responder.answered()),
                     static_cast<unsigned long long>(responder.unanswered()));
    return 0;
}
