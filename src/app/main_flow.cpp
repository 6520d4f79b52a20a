#include "app/main_flow.h"

#include "app/banner.h"
#include "app/options.h"
#include "config/config_flow.h"
#include "firmware/dump.h"
#include "firmware/update.h"
#include "transport/kcs.h"

namespace korvex {

JobResult korvexMain(const Platform& platform, int argc, char** argv) {
    KcsTransport kcs(platform);  // whatever -i names
    return korvexMain(platform, kcs, argc, argv);
}

JobResult korvexMain(const Platform& platform, Transport& transport, int argc, char** argv) {
    Console& console = platform.console;
    Options options;
    if (parseCommandLine(console, argc, argv, &options) == ParseOutcome::End) return {0, JobOutcome::CommandLineError};

    printUsageBanner(console);
    for (int i = 0; i < argc; ++i) console.print("%s ", argv[i]);
    console.print("\n");

    // A stop asked for before the job begins (while the command line was
    // read, or the banner printed) ends the run before anything is opened or sent.
    if (platform.stops.stopRequested()) {
        console.print("ERROR: INTERRUPTED, NOTHING WAS SENT TO THE BMC\n\n");
        return {-1, JobOutcome::Interrupted};
    }
    const Job job = chooseJob(options);
    if (job == Job::ConfigRestore || job == Job::ConfigBackup) {
        // The flow opens and closes the transport itself and ends the run.
        return runConfigFlow(platform, transport, options.firmwareFile, options.dumpFile);
    }
    if (transport.open() == -1) return {-1, JobOutcome::Failed};
    switch (job) {
        case Job::FlashDump:
            return runFlashDump(platform, transport, options.dumpFile);
        case Job::UsbUpdate:
            return runUsbUpdate(platform, transport, options.firmwareFile, options.preserveFlag);
        default:
            return runKcsUpdate(platform, transport, options.firmwareFile, options.preserveFlag);
    }
}

}  // namespace korvex
