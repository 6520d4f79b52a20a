#include "platform/hosted/signals.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace korvex::hosted {

namespace {

// The signals this module handles, in the order of SignalStops::saved_.
constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTOU, SIGPIPE};
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kTstp = 4;
constexpr size_t kTtou = 5;
static_assert(sizeof kHandled / sizeof kHandled[0] == SignalStops::kHandledSignals);

// The handler's state; a handler can reach nothing else.
volatile sig_atomic_t stopSignal_ = 0;  // the first stop signal
volatile sig_atomic_t change_ = 0;      // 0, or 1 + the BmcChange under way
volatile sig_atomic_t noted_ = 0;       // the held line was written
const char* program_ = "korvex";

// A line built and written without stdio or allocation, as a handler must.
class Line {
public:
    Line& operator<<(const char* text) {
        while (*text != '\0' && length_ < sizeof text_) text_[length_++] = *text++;
        return *this;
    }
    void write() const {
        const ssize_t written = ::write(STDERR_FILENO, text_, length_);
        static_cast<void>(written);  // nowhere to report a failure to
    }

private:
    char text_[256] = {};
    size_t length_ = 0;
};

const char* signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        case SIGTSTP:
            return "SIGTSTP";
        default:
            return "a signal";
    }
}

void onSignal(int signal) {
    const int savedErrno = errno;
    if (change_ != 0) {
        if (signal != SIGTSTP && stopSignal_ == 0) stopSignal_ = signal;
        if (noted_ == 0) {
            noted_ = 1;
            const bool update = change_ == 1 + static_cast<int>(BmcChange::Update);
            (Line() << program_ << ": " << signalName(signal) << " held: the BMC is in the middle of "
                    << (update ? "an update" : "a restore") << ", which goes on to its end\n")
                .write();
        }
    } else if (stopSignal_ == 0) {
        stopSignal_ = signal;
        (Line() << program_ << ": " << signalName(signal)
                << ": stopping before the next request to the BMC; a second signal stops at once\n")
            .write();
    } else {
        // Asked again: the default action, as soon as this handler returns.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);
    }
    errno = savedErrno;
}

sigset_t handledSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kStopSignals) sigaddset(&set, s);
    sigaddset(&set, SIGTSTP);
    return set;
}

struct sigaction handlerAction() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_mask = handledSet();
    // Interrupted writes and reads go on: only the wait for a key must end,
    // and it waits in ppoll, which a handler always interrupts.
    action.sa_flags = SA_RESTART;
    return action;
}

struct sigaction plainAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    return action;
}

// The handled signals wait while it lives, so that a test of the handler's
// state and the change that follows it are one step to the handler.
class Blocked {
public:
    Blocked() {
        const sigset_t set = handledSet();
        sigprocmask(SIG_BLOCK, &set, &before_);
    }
    ~Blocked() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    Blocked(const Blocked&) = delete;
    Blocked& operator=(const Blocked&) = delete;

private:
    sigset_t before_;
};

}  // namespace

SignalStops::SignalStops(const char* program) {
    program_ = program;
    stopSignal_ = 0;
    change_ = 0;
    noted_ = 0;
    for (size_t i = 0; i < sizeof kHandled / sizeof kHandled[0]; ++i) sigaction(kHandled[i], nullptr, &saved_[i]);
    const struct sigaction ignore = plainAction(SIG_IGN);
    sigaction(SIGPIPE, &ignore, nullptr);
    const struct sigaction handler = handlerAction();
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i)
        if (saved_[i].sa_handler != SIG_IGN) sigaction(kStopSignals[i], &handler, nullptr);
}

SignalStops::~SignalStops() {
    // SIGPIPE stays ignored: stdio writes out standard output once more when
    // the program exits, and a reader gone by then must not kill it either.
    for (size_t i = 0; i < sizeof kHandled / sizeof kHandled[0]; ++i)
        if (kHandled[i] != SIGPIPE) sigaction(kHandled[i], &saved_[i], nullptr);
    change_ = 0;
}

bool SignalStops::beginBmcChange(BmcChange change) {
    const Blocked blocked;
    if (stopSignal_ != 0) return false;
    change_ = 1 + static_cast<int>(change);
    if (saved_[kTstp].sa_handler != SIG_IGN) {
        const struct sigaction handler = handlerAction();
        sigaction(SIGTSTP, &handler, nullptr);
    }
    const struct sigaction ignore = plainAction(SIG_IGN);
    sigaction(SIGTTOU, &ignore, nullptr);
    return true;
}

void SignalStops::endBmcChange() {
    const Blocked blocked;
    change_ = 0;
    sigaction(SIGTSTP, &saved_[kTstp], nullptr);
    sigaction(SIGTTOU, &saved_[kTtou], nullptr);
}

bool SignalStops::stopRequested() { return stopSignal_ != 0 && change_ == 0; }

int SignalStops::stopSignal() { return stopSignal_; }

bool SignalStops::awaitInput(int fd) {
    const sigset_t set = handledSet();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &set, &before);
    bool input = true;
    for (;;) {
        if (stopSignal_ != 0 && change_ == 0) {
            input = false;
            break;
        }
        // The signals are let in only inside the wait, so none slips in
        // between the test above and the wait.
        pollfd wanted{fd, POLLIN, 0};
        if (ppoll(&wanted, 1, nullptr, &before) >= 0 || errno != EINTR) break;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return input;
}

}  // namespace korvex::hosted
