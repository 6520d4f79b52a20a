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
inline constexpr int kExitNotStarted = 4;  // the front end refused before anything was sent
// 128 + N is kept for a job stopped by signal N.

constexpr int exitStatus(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::Succeeded:
            return kExitSucceeded;
        case JobOutcome::CommandLineError:
            return kExitCommandLine;
        case JobOutcome::RefusedByBmc:
            return kExitRefusedByBmc;
        case JobOutcome::Failed:
        case JobOutcome::Interrupted:  // until the front ends stop jobs on a signal, and report 128 + N
            break;
    }
    return kExitFailed;
}

}  // namespace korvex::frontend
