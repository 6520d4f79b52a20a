// A configuration backup or restore against the simulated BMC through the
// loopback transport, and the console lines it is expected to print.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "bmc/config_module.h"
#include "config/config_flow.h"
#include "support/job_rig.h"

namespace korvex::test {

inline const std::string kBackupMode = "=== IPMI Configuration Backup Mode ===\n";
inline const std::string kRestoreMode = "=== IPMI Configuration Restore Mode ===\n";
inline const std::string kPreparing = "Data preparing........\n";
inline const std::string kBackupDone = "Done.\n";
inline const std::string kRestoreDone = "Done. Please wait at least 1 minute to restore configurations.\n";

// The progress line after a cycle.
inline std::string progressLine(long processed, long total) {
    char line[128];
    std::snprintf(line, sizeof line, "Bytes Processed data length : 0x%4lx Bytes Transmit Progress : %4ld %%\r",
                  processed, processed * 100 / total);
    return line;
}

inline std::string totalLine(long total) {
    char line[64];
    std::snprintf(line, sizeof line, "Total data length : %9ld\n", total);
    return line;
}

// Progress lines for blocks of `block` bytes up to `total`.
inline std::string progressLines(long total, long block) {
    std::string lines;
    for (long done = 0; done < total;) {
        done += std::min(block, total - done);
        lines += progressLine(done, total);
    }
    return lines;
}

// Deterministic bytes that differ from the simulated BMC's own sample.
inline std::string sampleBytes(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 37 + seed * 101 + i / 7) & 0xFF);
    return s;
}

struct ConfigRun : JobRig {
    std::string file = path("config-transfer.bin");

    explicit ConfigRun(const std::vector<std::string>& bmcOptions = {}) {
        std::remove(file.c_str());
        options(bmcOptions);
        bmc.keepLog(true);
    }
    bmc::ConfigModule& config() { return *bmc.module<bmc::ConfigModule>(); }
    std::string bmcConfiguration() {
        const auto& c = config().configuration();
        return std::string(c.begin(), c.end());
    }
    void setBmcConfiguration(const std::string& bytes) { config().setConfiguration({bytes.begin(), bytes.end()}); }
    void backup() { runConfigFlow(platform(), transport, nullptr, file.c_str()); }
    void restore() { runConfigFlow(platform(), transport, file.c_str(), nullptr); }
    void restoreFrom(const std::string& bytes) {
        writeFile(file, bytes);
        restore();
    }
    // The requests' data bytes, in order.
    std::vector<std::vector<uint8_t>> requests() const {
        std::vector<std::vector<uint8_t>> out;
        for (const bmc::Request& r : bmc.log()) out.push_back(r.data);
        return out;
    }
};

}  // namespace korvex::test
