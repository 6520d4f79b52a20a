// What a job, and the whole run, hands back: the value the main routine
// returns, as the tool has always returned it, and beside it the outcome,
// which the front ends that can report one (korvex, korvex-sim) turn into
// their exit status. It sits with the transport because every job and the
// main routine build on that layer.
#pragma once

namespace korvex {

// The outcome of a run, decided by these rules, in this order, and nowhere else:
// - Succeeded: the KCS update printed "Update Complete"; the dump and the
//   backup kept their file (every announced byte and a flagged last piece;
//   the whole announced length in sequence and the closing step done); the
//   restore had every block accepted and its finish step done without a
//   failure.
// - RefusedByBmc: a job that did not succeed, after the BMC gave a verdict
//   refusing it: GetFWUpdateInfo
//   answered 0xDF (another user is updating); an update state other than 2,
//   for which validation refuses the package; a last chunk answered 0xCD;
//   TASK_FAIL_STATE in a configuration answer.
// - CommandLineError: the run ended in parsing (the banner alone, or a
//   command-line fault).
// - Interrupted: the run was stopped on request before it changed the BMC's
//   state: a dump or a backup at an exchange boundary, any job before it
//   began, an update before its transfer. (An update's transfer and a
//   restore are never stopped: they end with their own outcome.)
// - Failed: everything else: files, the transport, a BMC that stops answering
//   or answers out of contract, the tool's own validation refusing a bad
//   package, and the USB update path, which always ends "FWUpdate fail".
enum class JobOutcome : unsigned char { Succeeded, Failed, CommandLineError, RefusedByBmc, Interrupted };

struct [[nodiscard]] JobResult {
    int value;  // what the main routine returns: 0, -1, or the job's own (1 after a dump)
    JobOutcome outcome;

    constexpr bool operator==(const JobResult&) const = default;
};

}  // namespace korvex
