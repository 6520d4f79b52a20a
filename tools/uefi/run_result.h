// The result file of a run started by the boot manager: what the run's
// outcome was, for a program that reads it after the next boot (korvex-stage
// or a script). Two lines, each KEY=VALUE and a line feed:
//
//     outcome=succeeded
//     status=0
//
// The status is the exit status korvex gives the same outcome on Linux.
// Free of firmware types: Korvex.efi writes it, korvex-stage reads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/job_result.h"

namespace korvex::uefi {

inline constexpr char kResultFileName[] = "korvex.result";
inline constexpr char kLogFileName[] = "korvex.log";

struct OutcomeName {
    JobOutcome outcome;
    const char* name;
    int status;
};

inline constexpr OutcomeName kOutcomeNames[] = {
    {JobOutcome::Succeeded, "succeeded", 0},
    {JobOutcome::Failed, "failed", 1},
    {JobOutcome::CommandLineError, "command-line-error", 2},
    {JobOutcome::RefusedByBmc, "refused-by-bmc", 3},
    // Nothing interrupts a run in the firmware; the name is there so that
    // every outcome has one.
    {JobOutcome::Interrupted, "interrupted", 1},
};

constexpr const OutcomeName& outcomeName(JobOutcome outcome) {
    for (const OutcomeName& entry : kOutcomeNames)
        if (entry.outcome == outcome) return entry;
    return kOutcomeNames[1];
}

// The file's text for an outcome, at most kResultTextSize bytes.
inline constexpr size_t kResultTextSize = 64;

constexpr size_t formatResult(JobOutcome outcome, char* out) {
    const OutcomeName& entry = outcomeName(outcome);
    size_t n = 0;
    auto put = [&](const char* text) {
        while (*text != '\0') out[n++] = *text++;
    };
    put("outcome=");
    put(entry.name);
    put("\nstatus=");
    // Statuses are single digits.
    out[n++] = static_cast<char>('0' + entry.status);
    put("\n");
    return n;
}

// Reads a result file's text. False unless it is exactly what formatResult
// writes for some outcome: a reader must not take a damaged or foreign file
// for a verdict.
constexpr bool parseResult(const char* text, size_t length, JobOutcome* outcome) {
    for (const OutcomeName& entry : kOutcomeNames) {
        char expected[kResultTextSize] = {};
        const size_t n = formatResult(entry.outcome, expected);
        if (n != length) continue;
        size_t i = 0;
        while (i < n && text[i] == expected[i]) ++i;
        if (i == n) {
            *outcome = entry.outcome;
            return true;
        }
    }
    return false;
}

}  // namespace korvex::uefi
