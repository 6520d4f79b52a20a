// Stop requests from POSIX signals, shared by the Linux front ends (korvex,
// korvex-sim). While a SignalStops lives:
// - SIGPIPE is ignored. A reader that went away (`| head`, a closed pager)
//   makes console writes fail, and the console is only the job's report.
// - SIGINT, SIGTERM, SIGHUP and SIGQUIT ask the run to stop. Outside a
//   change of the BMC's state the first one says on standard error that the
//   run stops before its next request to the BMC; a second one takes its
//   default action at once (the user insists: a dump or a backup cut off so
//   leaves its NAME.incomplete-* file behind).
// - While the BMC's state is being changed they are held. The first one
//   says on standard error that the BMC is in the middle of an update (or a
//   restore), which goes on to its end; later ones say nothing. SIGTSTP
//   (Ctrl-Z) is held too, and SIGTTOU ignored: a suspended tool would let
//   the BMC's wait for the next block expire in the middle of its flash.
// A signal that was ignored when the program started stays ignored (nohup,
// a background job of a non-interactive shell). A handler can reach only
// static storage, so there is one SignalStops per process.
#pragma once

#include <csignal>

#include "platform/platform.h"

namespace korvex::hosted {

class SignalStops final : public StopRequests {
public:
    // program names the front end in the lines on standard error.
    explicit SignalStops(const char* program);
    // Puts the dispositions back as they were, but for SIGPIPE's.
    ~SignalStops();
    SignalStops(const SignalStops&) = delete;
    SignalStops& operator=(const SignalStops&) = delete;

    bool beginBmcChange(BmcChange change) override;
    void endBmcChange() override;
    bool stopRequested() override;

    // The first signal that asked the run to stop; 0 when none did.
    static int stopSignal();
    // Waits until fd has input, an end or an error to read. False when a
    // stop was requested first: the wait for a key is where a user calls a
    // run off, and it must not outlast the request.
    static bool awaitInput(int fd);

    static constexpr int kHandledSignals = 7;

private:
    struct sigaction saved_[kHandledSignals] = {};
};

}  // namespace korvex::hosted
