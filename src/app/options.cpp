#include "app/options.h"

#include "app/banner.h"
#include "platform/text.h"

namespace korvex {

namespace {

// Values of -h, -u and -p that do not fit their buffers are refused rather
// than cut: a silently shortened address, user or password is worse than none.
bool storeText(Console& console, char* field, const char* value, const char* tooLongMessage) {
    if (text::length(value) >= kOptionTextSize) {
        printUsageBanner(console);
        console.print("%s", tooLongMessage);
        return false;
    }
    text::copy(field, kOptionTextSize, value);
    return true;
}

bool isInterfaceName(const char* value) {
    return text::equal(value, "kcs") || text::equal(value, "lan") || text::equal(value, "usb");
}

// One step of the scan. Returns false when the run is to end.
bool scanOption(Console& console, int argc, char** argv, int* index, Options* o) {
    const int i = *index;
    const char* token = argv[i];
    const bool oneFollows = i + 1 < argc;
    *index = i + 1;  // an option without enough tokens behind it is skipped alone

    if (text::equal(token, "-f")) {
        if (oneFollows) {
            o->firmwareFile = argv[i + 1];
            *index = i + 2;
        }
    } else if (text::equal(token, "-i")) {
        if (oneFollows) {
            if (!isInterfaceName(argv[i + 1])) {
                printUsageBanner(console);
                console.print("ERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n");
                return false;
            }
            text::copy(o->interface, kOptionTextSize, argv[i + 1]);
            *index = i + 2;
        }
    } else if (text::equal(token, "-d")) {
        if (oneFollows) {
            o->dumpFile = argv[i + 1];
            *index = i + 2;
        }
    } else if (text::equal(token, "-h")) {
        if (i + 2 < argc) {
            if (!storeText(console, o->host, argv[i + 1],
                           "ERROR:THE HOST IP ADDRESS IS TOO LONG, AT MOST 15 CHARACTERS\n\n"))
                return false;
            if (argv[i + 2][0] == '-') {
                text::copy(o->port, kOptionTextSize, "623");
                *index = i + 2;
            } else {
                if (!storeText(console, o->port, argv[i + 2],
                               "ERROR:THE RMCP+ PORT IS TOO LONG, AT MOST 15 CHARACTERS\n\n"))
                    return false;
                *index = i + 3;
            }
        }
    } else if (text::equal(token, "-u")) {
        if (oneFollows) {
            if (!storeText(console, o->user, argv[i + 1], "ERROR:THE USER NAME IS TOO LONG, AT MOST 15 CHARACTERS\n\n"))
                return false;
            *index = i + 2;
        }
    } else if (text::equal(token, "-p")) {
        if (oneFollows) {
            if (!storeText(console, o->password, argv[i + 1],
                           "ERROR:THE PASSWORD IS TOO LONG, AT MOST 15 CHARACTERS\n\n"))
                return false;
            *index = i + 2;
        }
    } else if (text::equal(token, "-r")) {
        if (oneFollows) {
            if (text::equal(argv[i + 1], "y")) {
                o->preserveFlag = 1;
            } else if (text::equal(argv[i + 1], "n")) {
                o->preserveFlag = 0;
            } else {
                printUsageBanner(console);
                console.print("ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n");
                return false;
            }
            *index = i + 2;
        }
    } else if (text::equal(token, "-c")) {
        o->configFlag = true;
    } else {
        printUsageBanner(console);
        console.print("ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:%s\n\n", token);
        return false;
    }
    return true;
}

// The LAN checks print their message before the banner, unlike the scan's.
bool lanValuesPresent(Console& console, const Options& o) {
    const char* message = nullptr;
    if (o.host[0] == '\0')
        message = "ERROR:PLEASE ENTER THE HOST IP ADDRESS\n\n";
    else if (o.user[0] == '\0')
        message = "ERROR:PLEASE ENTER THE USER NAME\n\n";
    else if (o.password[0] == '\0')
        message = "ERROR:PLEASE ENTER THE PASSWORD\n\n";
    if (message == nullptr) return true;
    console.print("%s", message);
    printUsageBanner(console);
    return false;
}

}  // namespace

ParseOutcome parseCommandLine(Console& console, int argc, char** argv, Options* options) {
    int index = 1;
    while (index < argc)
        if (!scanOption(console, argc, argv, &index, options)) return ParseOutcome::End;

    if (options->firmwareFile == nullptr && options->dumpFile == nullptr) {
        printUsageBanner(console);
        return ParseOutcome::End;
    }
    if (options->preserveFlag == kPreserveNotGiven) options->preserveFlag = 1;
    if (text::equal(options->interface, "lan") && !lanValuesPresent(console, *options)) return ParseOutcome::End;
    return ParseOutcome::Run;
}

Job chooseJob(const Options& o) {
    const bool firmware = o.firmwareFile != nullptr;
    const bool dump = o.dumpFile != nullptr;
    if (!firmware && !dump) return Job::None;
    if (o.configFlag) return firmware ? Job::ConfigRestore : Job::ConfigBackup;
    if (dump) return Job::FlashDump;
    return text::equal(o.interface, "usb") ? Job::UsbUpdate : Job::KcsUpdate;
}

}  // namespace korvex
