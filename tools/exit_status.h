// The exit statuses of the Linux front ends (korvex, korvex-sim): the run's
// outcome as a number a shell script, cron or an orchestration tool can act
// on, 0 only for success.
#pragma once

#include "transport/job_result.h"

namespace korvex::frontend {

inline constexpr int kExitSucceeded = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitCommandLine = 2;  // usage, a command-line fault, a front-end option fault
inline constexpr int kExitRefusedByBmc = 3;
inline constexpr int kExitNotStarted = 4;    // the front end refused before anything was sent
inline constexpr int kExitSignalBase = 128;  // + N: a run stopped by signal N, as a shell reports one

// stopSignal: the signal that asked an Interrupted run to stop.
constexpr int exitStatus(JobOutcome outcome, int stopSignal = 0) {
    switch (outcome) {
        case JobOutcome::Succeeded:
            return kExitSucceeded;
        case JobOutcome::CommandLineError:
            return kExitCommandLine;
        case JobOutcome::RefusedByBmc:
            return kExitRefusedByBmc;
        case JobOutcome::Interrupted:
            if (stopSignal > 0) return kExitSignalBase + stopSignal;
            break;
        case JobOutcome::Failed:
            break;
    }
    return kExitFailed;
}

}  // namespace korvex::frontend
