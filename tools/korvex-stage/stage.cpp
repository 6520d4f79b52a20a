#include "korvex-stage/stage.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "app/options.h"
#include "platform/hosted/hosted.h"
#include "platform/uefi/utf.h"
#include "uefi/boot_command_line.h"
#include "uefi/run_result.h"

extern char** environ;

namespace korvex::stage {

namespace fs = std::filesystem;

namespace {

constexpr char kLabel[] = "Korvex staged run";
constexpr char kFolder[] = "EFI/korvex";  // on the ESP; korvex-stage's own
constexpr char kLoader[] = "\\EFI\\korvex\\Korvex.efi";
constexpr char kImageName[] = "Korvex.efi";
constexpr char kStateFile[] = "korvex.staged";
constexpr char kKcsConfig[] = "kcs.cfg";
const char* const kOwnNames[] = {kImageName, kStateFile, kKcsConfig, uefi::kLogFileName, uefi::kResultFileName};

// Room the run needs on the ESP beyond the files copied there: the log and
// the result, and what a dump (a whole flash) or a backup writes.
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kLogRoom = 1 * kMiB;
constexpr uint64_t kDumpRoom = 32 * kMiB;
constexpr uint64_t kBackupRoom = 1 * kMiB;

constexpr char kUsageText[] =
    "usage: korvex-stage [--esp DIR] [--efi FILE] [--kcs-cfg FILE] [--reset] [--] TOOL-ARGUMENTS\n"
    "       korvex-stage --report [--esp DIR]\n"
    "       korvex-stage --cancel [--esp DIR]\n";

constexpr char kHelpText[] =
    "korvex-stage: has the firmware run Korvex.efi once at the next boot, without a\n"
    "UEFI Shell, and reports that run after the boot that follows.\n"
    "Usage: korvex-stage [--esp DIR] [--efi FILE] [--kcs-cfg FILE] [--reset] [--]\n"
    "                    TOOL-ARGUMENT...\n"
    "       korvex-stage --report [--esp DIR]\n"
    "       korvex-stage --cancel [--esp DIR]\n"
    "       korvex-stage --help | --version\n"
    "\n"
    "Staging copies Korvex.efi, the package (or the file to restore) and kcs.cfg to\n"
    "EFI/korvex/ on the EFI system partition and makes a one-time boot entry\n"
    "(BootNext) whose command line is the tool's arguments. Run as root.\n"
    "  --esp DIR      the EFI system partition's mount point (default: the first\n"
    "                 of /boot/efi, /efi, /boot that is a FAT mount)\n"
    "  --efi FILE     the Korvex.efi to run (default /usr/lib/korvex/Korvex.efi)\n"
    "  --kcs-cfg FILE a kcs.cfg for the run (default: none, the standard ports)\n"
    "  --reset        reset the machine after the run instead of booting on\n"
    "  --report       print the staged run's console text, write its dump or\n"
    "                 backup where it was asked for, and remove the boot entry\n"
    "  --cancel       remove a staged run that has not run yet\n"
    "\n"
    "Exit status: 0 done (--report: the run succeeded); 1 the run failed; 2 a\n"
    "command-line fault; 3 the BMC refused the job; 4 nothing was staged (no UEFI,\n"
    "no ESP, no room, a run already staged) or, for --report, no result yet.\n"
    "\n"
    "Example, an update at the next boot, and its outcome after the one after:\n"
    "  korvex-stage -f fw.bin -i kcs -r y && reboot\n"
    "  korvex-stage --report; echo \"exit status $?\"\n";

struct Command {
    enum class Verb { Stage, Report, Cancel, Help, Version } verb = Verb::Stage;
    std::string esp;
    std::string efi;
    std::string kcsConfig;
    bool reset = false;
    std::vector<std::string> tool;
};

// What was staged, kept on the ESP for the report.
struct State {
    unsigned entry = 0;
    std::string command;      // the run's command line, for the report
    std::string input;        // the job's input copied beside Korvex.efi
    std::string output;       // the dump or backup Korvex.efi writes beside itself
    std::string destination;  // where the report puts it on this machine
};

struct Esp {
    std::string point;  // the mount point, e.g. /boot/efi
    std::string dir;    // the same under the root
    std::string device;
    std::string disk;
    unsigned partition = 0;
};

struct ProgramRun {
    bool started = false;
    int status = -1;
    std::string out;
    std::string err;
};

struct BootEntries {
    std::optional<unsigned> next;
    std::vector<std::pair<unsigned, std::string>> entries;  // number, label
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

bool readFile(const std::string& path, std::string* data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    data->clear();
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data->append(buffer, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// Writes data to a temporary beside path, flushes it to the disk and renames
// it onto path, so that path holds either the old file or the whole new one.
bool writeFileAtomically(const std::string& path, const std::string& data, std::string* why) {
    const std::string temporary = path + ".korvex-stage-new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        *why = format("cannot write %s: %s", path.c_str(), std::strerror(errno != 0 ? errno : error));
        ::unlink(temporary.c_str());
    }
    return ok;
}

bool copyFile(const std::string& from, const std::string& to, std::string* why) {
    std::string data;
    if (!readFile(from, &data)) {
        *why = format("cannot read %s: %s", from.c_str(), std::strerror(errno));
        return false;
    }
    return writeFileAtomically(to, data, why);
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

// /proc/self/mounts writes a space, a tab, a line feed and a backslash in a
// field as octal escapes.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string leaf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool sameName(const std::string& a, const char* b) {
    return a.size() == std::strlen(b) &&
           std::equal(a.begin(), a.end(), b, [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// A name Korvex.efi can use beside itself on the FAT file system of the ESP.
bool nameFitsEsp(const std::string& name, std::string* why) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) {
        *why = format("\"%s\" cannot be a file name on the EFI system partition", name.c_str());
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || std::strchr("\"*/:<>?\\|", c) != nullptr) {
            *why = format("\"%s\" holds a character that the EFI system partition's FAT file system does not allow",
                          name.c_str());
            return false;
        }
    }
    for (const char* own : kOwnNames) {
        if (sameName(name, own)) {
            *why = format("\"%s\" is the name of one of korvex-stage's own files; rename the file", name.c_str());
            return false;
        }
    }
    return true;
}

// Runs a program found on PATH with input on its standard input; collects
// its standard output and error.
ProgramRun runProgram(const std::vector<std::string>& argv, const std::string& input) {
    ProgramRun result;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return result;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]), ::close(in[1]);
        return result;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    result.started = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    if (result.started) {
        // The program may exit without reading; its pipe must not kill us.
        const sighandler_t old = std::signal(SIGPIPE, SIG_IGN);
        for (size_t done = 0; done < input.size();) {
            const ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        std::signal(SIGPIPE, old);
    }
    ::close(in[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[k]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) ::close(p.fd);
    if (result.started) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return result;
}

// "BootNext: 0004" and "Boot0004* Label<TAB>device path" lines of efibootmgr.
BootEntries parseEntries(const std::string& listing) {
    BootEntries entries;
    size_t at = 0;
    while (at < listing.size()) {
        size_t end = listing.find('\n', at);
        if (end == std::string::npos) end = listing.size();
        const std::string line = listing.substr(at, end - at);
        at = end + 1;
        unsigned number = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "BootNext: %4x%n", &number, &used) == 1 && used == 14) {
            entries.next = number;
        } else if (line.size() > 9 && line.compare(0, 4, "Boot") == 0 &&
                   std::sscanf(line.c_str() + 4, "%4x%n", &number, &used) == 1 && used == 4) {
            size_t label = 8;
            if (line[label] == '*') ++label;
            if (line[label] != ' ') continue;
            const size_t tab = line.find('\t', label + 1);
            entries.entries.emplace_back(number,
                                         line.substr(label + 1, tab == std::string::npos ? tab : tab - label - 1));
        }
    }
    return entries;
}

// Whether Korvex.efi, splitting the load options, gets exactly args (program
// name first) and the reset option.
bool splitsBackTo(const std::string& bytes, const std::vector<std::string>& args, bool reset) {
    const size_t length = uefi::commandLineUnits(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    std::u16string line;
    for (size_t i = 0; i < length; ++i)
        line += static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    std::vector<char16_t> words(length + 1);
    const size_t count = uefi::splitCommandLine(line.data(), length, words.data());
    const uefi::BootStart start = uefi::classifyCommandLine(words.data(), count);
    std::vector<std::string> back;
    uefi::forEachArgument(words.data(), count, start, [&back](const char16_t* word) {
        std::string text;
        const auto* units = reinterpret_cast<const uint16_t*>(word != nullptr ? word : u"");
        while (*units != 0) {
            char bytes4[4];
            text.append(bytes4, uefi::encodeUtf8(uefi::nextUtf16(&units), bytes4));
        }
        back.push_back(text);
        return true;
    });
    return length > 0 && start.isCommandLine && start.programNamed && start.reset == reset && back == args;
}

class Stager {
public:
    Stager(const Settings& settings, FILE* out, FILE* err) : settings_(settings), out_(out), err_(err) {}

    int stage(const Command& command);
    int report(const Command& command);
    int cancel(const Command& command);

private:
    // A staging as the command line asks for it.
    struct Plan {
        std::vector<std::string> args;  // the tool's, program name first
        bool reads = false;             // the job reads its file (else writes it)
        std::string file;               // as given
        size_t fileArgument = 0;        // its index in args
        std::string name;               // its name beside Korvex.efi
        uint64_t room = 0;              // bytes the run needs beyond the copies
        std::string command;            // the run's command line, for people
        std::string loadOptions;        // the boot entry's
    };
    int planRun(const Command& command, Plan* plan);
    int checkFiles(const Command& command, const Esp& esp, Plan* plan, State* state);
    bool copyToEsp(const Command& command, const std::string& folder, const Plan& plan, std::string* why);
    bool makeBootEntry(const Esp& esp, const Plan& plan, State* state, std::string* why);
    // The run staged on the ESP that --report and --cancel act on; 0, or the
    // status of a refusal already reported.
    int findStaged(const Command& command, Esp* esp, std::string* folder, State* state);

    int refuse(int status, const std::string& why) {
        std::fprintf(err_, "korvex-stage: %s\n", why.c_str());
        return status;
    }
    void note(const std::string& what) { std::fprintf(err_, "korvex-stage: %s\n", what.c_str()); }
    std::string under(const std::string& path) const {
        return settings_.root == "/" ? path : (fs::path(settings_.root) / fs::path(path).relative_path()).string();
    }
    bool bootedThroughUefi(std::string* why) const;
    bool findEsp(const std::string& wanted, Esp* esp, std::string* why) const;
    uint64_t freeBytes(const std::string& path) const;
    bool efibootmgr(const std::vector<std::string>& args, std::string* output, std::string* why,
                    const std::string& input = "") const;
    bool readState(const std::string& folder, State* state) const;
    bool writeState(const std::string& folder, const State& state, std::string* why) const;
    void removeEntry(const State& state);
    void removeStaged(const std::string& folder, const State& state, bool output);

    const Settings& settings_;
    FILE* out_;
    FILE* err_;
};

bool Stager::bootedThroughUefi(std::string* why) const {
    std::error_code ec;
    if (!fs::is_directory(under("/sys/firmware/efi"), ec)) {
        *why =
            "this machine did not boot through UEFI (there is no /sys/firmware/efi): its firmware cannot be "
            "told to start Korvex.efi; run Korvex.efi from the UEFI Shell instead";
        return false;
    }
    const std::string vars = under("/sys/firmware/efi/efivars");
    if (!fs::is_directory(vars, ec) || fs::is_empty(vars, ec)) {
        *why =
            "the firmware's variables are not reachable (/sys/firmware/efi/efivars is empty): "
            "mount -t efivarfs efivarfs /sys/firmware/efi/efivars";
        return false;
    }
    return true;
}

bool Stager::findEsp(const std::string& wanted, Esp* esp, std::string* why) const {
    std::string table;
    if (!readFile(under("/proc/self/mounts"), &table)) {
        *why = "cannot read /proc/self/mounts to find the EFI system partition";
        return false;
    }
    std::vector<std::string> candidates = {"/boot/efi", "/efi", "/boot"};
    if (!wanted.empty()) {
        std::string point = fs::path(wanted).lexically_normal().string();
        while (point.size() > 1 && point.back() == '/') point.pop_back();
        candidates = {point};
    }
    for (const std::string& candidate : candidates) {
        std::optional<std::pair<std::string, std::string>> found;  // device, type; the last mount there counts
        size_t at = 0;
        while (at < table.size()) {
            size_t end = table.find('\n', at);
            if (end == std::string::npos) end = table.size();
            char device[4096], point[4096], type[256];
            const std::string line = table.substr(at, end - at);
            at = end + 1;
            if (std::sscanf(line.c_str(), "%4095s %4095s %255s", device, point, type) == 3 &&
                unescapeMountField(point) == candidate)
                found = std::make_pair(unescapeMountField(device), std::string(type));
        }
        if (!found) continue;
        if (found->second != "vfat") {
            if (wanted.empty()) continue;
            *why = format("%s is a %s file system, not the FAT of an EFI system partition", candidate.c_str(),
                          found->second.c_str());
            return false;
        }
        esp->point = candidate;
        esp->dir = under(candidate);
        esp->device = found->first;
        // The disk and partition number, for the boot entry's device path.
        std::error_code ec;
        fs::path block = under("/sys/class/block/" + leaf(esp->device));
        if (!fs::exists(block, ec)) block = under("/sys/class/block/" + leaf(fs::canonical(under(esp->device), ec)));
        std::string number;
        const fs::path partition = fs::canonical(block, ec);
        if (ec || !readFile((partition / "partition").string(), &number) ||
            std::sscanf(number.c_str(), "%u", &esp->partition) != 1) {
            *why = format("the EFI system partition %s (%s) is not a partition of a disk", candidate.c_str(),
                          esp->device.c_str());
            return false;
        }
        esp->disk = "/dev/" + partition.parent_path().filename().string();
        return true;
    }
    *why = wanted.empty() ? "cannot find the EFI system partition: no FAT file system is mounted on /boot/efi, "
                            "/efi or /boot; mount it, or name its mount point with --esp"
                          : format("nothing is mounted on %s", candidates[0].c_str());
    return false;
}

uint64_t Stager::freeBytes(const std::string& path) const {
    if (settings_.freeBytes) return settings_.freeBytes(path);
    struct statvfs s;
    if (::statvfs(path.c_str(), &s) != 0) return 0;
    return static_cast<uint64_t>(s.f_bavail) * s.f_frsize;
}

bool Stager::efibootmgr(const std::vector<std::string>& args, std::string* output, std::string* why,
                        const std::string& input) const {
    std::vector<std::string> argv = {"efibootmgr"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramRun run = runProgram(argv, input);
    if (!run.started) {
        *why = "cannot run efibootmgr (install the package efibootmgr)";
        return false;
    }
    if (run.status != 0) {
        std::string message = run.err.empty() ? run.out : run.err;
        while (!message.empty() && message.back() == '\n') message.pop_back();
        *why = format("efibootmgr failed (status %d): %s", run.status, message.c_str());
        return false;
    }
    if (output != nullptr) *output = run.out;
    return true;
}

bool Stager::readState(const std::string& folder, State* state) const {
    std::string text;
    if (!readFile(folder + "/" + kStateFile, &text)) return false;
    size_t at = 0;
    bool haveEntry = false;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "entry") haveEntry = std::sscanf(value.c_str(), "%4x", &state->entry) == 1;
        if (key == "command") state->command = value;
        if (key == "input") state->input = value;
        if (key == "output") state->output = value;
        if (key == "destination") state->destination = value;
    }
    return haveEntry;
}

bool Stager::writeState(const std::string& folder, const State& state, std::string* why) const {
    const std::string text = format("entry=%04X\n", state.entry) + "command=" + state.command +
                             "\ninput=" + state.input + "\noutput=" + state.output +
                             "\ndestination=" + state.destination + "\n";
    return writeFileAtomically(folder + "/" + kStateFile, text, why);
}

void Stager::removeEntry(const State& state) {
    std::string listing, why;
    if (!efibootmgr({}, &listing, &why)) {
        note(why + format("; remove Boot%04X by hand", state.entry));
        return;
    }
    const BootEntries entries = parseEntries(listing);
    if (entries.next == state.entry && !efibootmgr({"-N"}, nullptr, &why)) note(why);
    for (const auto& [number, label] : entries.entries) {
        // The number may have been reused for another entry since.
        if (number != state.entry) continue;
        if (label != kLabel)
            note(format("Boot%04X is now \"%s\", not korvex-stage's: left as it is", number, label.c_str()));
        else if (!efibootmgr({"-b", format("%04X", number), "-B"}, nullptr, &why))
            note(why + format("; remove Boot%04X by hand", number));
    }
}

void Stager::removeStaged(const std::string& folder, const State& state, bool output) {
    if (!state.input.empty()) removeFile(folder + "/" + state.input);
    if (output && !state.output.empty()) removeFile(folder + "/" + state.output);
    removeFile(folder + "/" + kStateFile);
}

// The tool's command line, checked by the tool's own parser (a run that
// would only print the banner or an error is not worth a reboot), and what
// it means for the files: the job's input goes beside Korvex.efi under its
// own name; its output is made there and brought back by the report.
int Stager::planRun(const Command& command, Plan* plan) {
    plan->args = {kImageName};
    plan->args.insert(plan->args.end(), command.tool.begin(), command.tool.end());
    std::vector<char*> argv;
    for (std::string& a : plan->args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* captured = nullptr;
    size_t capturedSize = 0;
    FILE* capture = ::open_memstream(&captured, &capturedSize);
    if (capture == nullptr) return refuse(kNotStarted, "out of memory");
    hosted::StdioConsole console(capture);
    Options options;
    const ParseOutcome parsed = parseCommandLine(console, static_cast<int>(argv.size()) - 1, argv.data(), &options);
    std::fclose(capture);
    const std::string toolText(captured, capturedSize);
    std::free(captured);
    if (parsed == ParseOutcome::End) {
        std::fputs(toolText.c_str(), out_);
        return refuse(kUsage, "this command line runs no job (Korvex.efi would print the above); nothing was staged");
    }
    const Job job = chooseJob(options);
    if (job == Job::UsbUpdate)
        return refuse(kUsage, "-i usb waits for a key at the console, which an unattended run cannot give");

    plan->reads = job == Job::KcsUpdate || job == Job::ConfigRestore;
    const char* file = plan->reads ? options.firmwareFile : options.dumpFile;
    plan->fileArgument = static_cast<size_t>(std::find(argv.begin(), argv.end(), file) - argv.begin());
    plan->file = file;
    plan->name = leaf(file);
    plan->room = kLogRoom + (job == Job::FlashDump ? kDumpRoom : job == Job::ConfigBackup ? kBackupRoom : 0);
    std::string why;
    if (!nameFitsEsp(plan->name, &why)) return refuse(kUsage, why);

    // The boot entry's command line, checked by splitting it back as
    // Korvex.efi will.
    std::vector<std::string> bootArgs = {kImageName};
    if (command.reset) bootArgs.push_back("--reset");
    for (size_t i = 1; i < plan->args.size(); ++i)
        bootArgs.push_back(i == plan->fileArgument ? plan->name : plan->args[i]);
    std::vector<std::string> runArgs = bootArgs;
    if (command.reset) runArgs.erase(runArgs.begin() + 1);
    for (const std::string& a : runArgs) plan->command += (plan->command.empty() ? "" : " ") + a;
    plan->loadOptions = loadOptions(bootArgs);
    if (!splitsBackTo(plan->loadOptions, runArgs, command.reset))
        return refuse(kUsage, "an argument holds a control character or is not UTF-8: a boot entry cannot pass it");
    return kSucceeded;
}

// The files exist, the output can be written, and the ESP has room.
int Stager::checkFiles(const Command& command, const Esp& esp, Plan* plan, State* state) {
    struct stat st;
    uint64_t needed = plan->room;
    if (plan->reads) {
        if (::stat(plan->file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return refuse(kUsage, format("%s is not a file that can be read", plan->file.c_str()));
        needed += static_cast<uint64_t>(st.st_size);
        state->input = plan->name;
    } else {
        std::error_code ec;
        const fs::path destination = fs::absolute(plan->file, ec);
        if (ec || fs::is_directory(destination, ec) || !fs::is_directory(destination.parent_path(), ec))
            return refuse(kUsage,
                          format("%s cannot be written: name a file in an existing folder", plan->file.c_str()));
        // The state file keeps it on one line.
        if (destination.string().find('\n') != std::string::npos)
            return refuse(kUsage, "the path of the dump or backup holds a line feed");
        state->output = plan->name;
        state->destination = destination.string();
    }
    for (const std::string& extra : {settings_.efiImage, command.kcsConfig}) {
        if (extra.empty()) continue;
        if (::stat(extra.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return refuse(kNotStarted, format("%s is not a file that can be read", extra.c_str()));
        needed += static_cast<uint64_t>(st.st_size);
    }
    const uint64_t available = freeBytes(esp.dir);
    if (available < needed)
        return refuse(kNotStarted,
                      format("the EFI system partition %s has %llu KiB free; the run needs %llu KiB there (Korvex.efi, "
                             "%s, the log%s)",
                             esp.point.c_str(), static_cast<unsigned long long>(available / 1024),
                             static_cast<unsigned long long>((needed + 1023) / 1024), plan->name.c_str(),
                             plan->reads ? "" : " and room for what the job writes"));
    state->command = plan->command;
    return kSucceeded;
}

bool Stager::copyToEsp(const Command& command, const std::string& folder, const Plan& plan, std::string* why) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        *why = format("cannot make %s: %s", folder.c_str(), ec.message().c_str());
        return false;
    }
    // Nothing from an earlier run may pass for this one's.
    for (const std::string& stale :
         {std::string(uefi::kLogFileName), std::string(uefi::kResultFileName), std::string(kKcsConfig), plan.name}) {
        if (!removeFile(folder + "/" + stale)) {
            *why = format("cannot remove %s/%s: %s", folder.c_str(), stale.c_str(), std::strerror(errno));
            return false;
        }
    }
    return copyFile(settings_.efiImage, folder + "/" + kImageName, why) &&
           (!plan.reads || copyFile(plan.file, folder + "/" + plan.name, why)) &&
           (command.kcsConfig.empty() || copyFile(command.kcsConfig, folder + "/" + kKcsConfig, why));
}

// Makes the boot entry and points BootNext at it; the new entry is the one
// with the label that was not there before.
bool Stager::makeBootEntry(const Esp& esp, const Plan& plan, State* state, std::string* why) {
    std::string listing;
    if (!efibootmgr({}, &listing, why)) return false;
    std::vector<unsigned> before;
    for (const auto& [number, label] : parseEntries(listing).entries) before.push_back(number);
    if (!efibootmgr({"-C", "-d", esp.disk, "-p", std::to_string(esp.partition), "-L", kLabel, "-l", kLoader, "-@", "-"},
                    nullptr, why, plan.loadOptions) ||
        !efibootmgr({}, &listing, why))
        return false;
    bool created = false;
    for (const auto& [number, label] : parseEntries(listing).entries) {
        if (label == kLabel && std::find(before.begin(), before.end(), number) == before.end()) {
            state->entry = number;
            created = true;
        }
    }
    if (!created) {
        *why = "efibootmgr made no new boot entry";
        return false;
    }
    if (efibootmgr({"-n", format("%04X", state->entry)}, nullptr, why)) return true;
    removeEntry(*state);
    return false;
}

int Stager::stage(const Command& command) {
    Plan plan;
    if (const int status = planRun(command, &plan); status != kSucceeded) return status;
    std::string why;
    if (!bootedThroughUefi(&why)) return refuse(kNotStarted, why);
    Esp esp;
    if (!findEsp(command.esp, &esp, &why)) return refuse(kNotStarted, why);
    const std::string folder = esp.dir + "/" + kFolder;
    State state;
    if (readState(folder, &state))
        return refuse(kNotStarted, format("a run is already staged (Boot%04X: %s); korvex-stage --report or --cancel "
                                          "it first",
                                          state.entry, state.command.c_str()));
    if (const int status = checkFiles(command, esp, &plan, &state); status != kSucceeded) return status;
    if (!copyToEsp(command, folder, plan, &why) || !makeBootEntry(esp, plan, &state, &why)) {
        removeStaged(folder, state, false);
        return refuse(kNotStarted, why);
    }
    if (!writeState(folder, state, &why)) {
        removeEntry(state);
        removeStaged(folder, state, false);
        return refuse(kNotStarted, why);
    }
    note(format("Boot%04X \"%s\" runs at the next boot, once: %s", state.entry, kLabel, state.command.c_str()));
    note(format("files on the EFI system partition: %s/%s", esp.point.c_str(), kFolder));
    note("reboot, then run korvex-stage --report");
    return kSucceeded;
}

int Stager::findStaged(const Command& command, Esp* esp, std::string* folder, State* state) {
    std::string why;
    if (!findEsp(command.esp, esp, &why)) return refuse(kNotStarted, why);
    *folder = esp->dir + "/" + kFolder;
    if (!readState(*folder, state))
        return refuse(kNotStarted,
                      format("nothing is staged on %s (no %s/%s)", esp->point.c_str(), kFolder, kStateFile));
    return 0;
}

int Stager::report(const Command& command) {
    Esp esp;
    std::string folder;
    State state;
    if (const int refused = findStaged(command, &esp, &folder, &state); refused != 0) return refused;
    std::string why;
    std::string log, resultText;
    const bool haveLog = readFile(folder + "/" + uefi::kLogFileName, &log);
    const bool haveResult = readFile(folder + "/" + uefi::kResultFileName, &resultText);
    if (!haveResult && !haveLog) {
        std::string listing;
        if (!efibootmgr({}, &listing, &why)) return refuse(kNotStarted, why);
        if (parseEntries(listing).next == state.entry)
            return refuse(kNotStarted, format("Korvex.efi has not run yet: Boot%04X is the next boot; reboot to run %s",
                                              state.entry, state.command.c_str()));
    }
    std::fwrite(log.data(), 1, log.size(), out_);
    std::fflush(out_);

    int status = kFailed;
    JobOutcome outcome = JobOutcome::Failed;
    bool keepOutput = false;
    if (!haveResult && !haveLog) {
        note(
            format("Korvex.efi did not run at the boot (the firmware may have refused it: is it signed for Secure "
                   "Boot?): %s",
                   state.command.c_str()));
        status = kNotStarted;
    } else if (!haveResult || !uefi::parseResult(resultText.data(), resultText.size(), &outcome)) {
        note(format("Korvex.efi did not finish: %s has no result; its log is above", state.command.c_str()));
    } else {
        const uefi::OutcomeName& entry = uefi::outcomeName(outcome);
        status = entry.status;
        note(format("%s: %s", state.command.c_str(), entry.name));
        if (outcome == JobOutcome::Succeeded && !state.output.empty()) {
            if (!copyFile(folder + "/" + state.output, state.destination, &why)) {
                note(why + format("; the file stays in %s/%s/%s", esp.point.c_str(), kFolder, state.output.c_str()));
                keepOutput = true;
                status = kFailed;
            } else {
                note("written: " + state.destination);
            }
        }
    }
    removeEntry(state);
    removeStaged(folder, state, !keepOutput);
    return status;
}

int Stager::cancel(const Command& command) {
    Esp esp;
    std::string folder;
    State state;
    if (const int refused = findStaged(command, &esp, &folder, &state); refused != 0) return refused;
    removeEntry(state);
    removeStaged(folder, state, true);
    note(format("cancelled: %s", state.command.c_str()));
    return kSucceeded;
}

bool parseCommand(const std::vector<std::string>& args, Command* command, std::string* why) {
    size_t i = 0;
    auto value = [&](const std::string& option, std::string* into) {
        if (i + 1 >= args.size()) {
            *why = option + " needs a value";
            return false;
        }
        *into = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.compare(0, 2, "--") != 0) break;  // the tool's arguments begin
        if (a == "--report") {
            command->verb = Command::Verb::Report;
        } else if (a == "--cancel") {
            command->verb = Command::Verb::Cancel;
        } else if (a == "--help") {
            command->verb = Command::Verb::Help;
        } else if (a == "--version") {
            command->verb = Command::Verb::Version;
        } else if (a == "--reset") {
            command->reset = true;
        } else if (a == "--esp") {
            if (!value(a, &command->esp)) return false;
        } else if (a == "--efi") {
            if (!value(a, &command->efi)) return false;
        } else if (a == "--kcs-cfg") {
            if (!value(a, &command->kcsConfig)) return false;
        } else {
            *why = "unknown option " + a;
            return false;
        }
    }
    command->tool.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (command->verb == Command::Verb::Stage && command->tool.empty()) {
        *why = "no tool arguments: what should Korvex.efi do?";
        return false;
    }
    if (command->verb != Command::Verb::Stage &&
        (!command->tool.empty() || command->reset || !command->efi.empty() || !command->kcsConfig.empty())) {
        *why = "--report and --cancel take only --esp";
        return false;
    }
    return true;
}

}  // namespace

std::string loadOptions(const std::vector<std::string>& args) {
    std::u16string line;
    for (const std::string& arg : args) {
        std::u16string word;
        bool plain = !arg.empty();
        uefi::Utf8Decoder decoder;
        for (unsigned char byte : arg) {
            uint32_t points[2];
            const size_t n = decoder.feed(byte, points);
            for (size_t k = 0; k < n; ++k) {
                uint16_t units[2];
                const uint32_t c = points[k];
                if (c == ' ' || c == '\t') plain = false;
                if (c == '"' || c == '^') word += u'^';
                word.append(units, units + uefi::encodeUtf16(c, units));
            }
        }
        if (!line.empty()) line += u' ';
        line += plain ? word : u"\"" + word + u"\"";
    }
    std::string bytes;
    for (char16_t unit : line) bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    bytes.append(2, '\0');
    return bytes;
}

int run(const Settings& settings, const std::vector<std::string>& args, FILE* out, FILE* err) {
    Command command;
    std::string why;
    if (!parseCommand(args, &command, &why)) {
        std::fprintf(err, "korvex-stage: %s\n%s", why.c_str(), kUsageText);
        return kUsage;
    }
    if (command.verb == Command::Verb::Version) {
        std::fputs("korvex-stage " KORVEX_VERSION "\n", out);
        return kSucceeded;
    }
    if (command.verb == Command::Verb::Help) {
        std::fputs(kHelpText, out);
        return kSucceeded;
    }
    Settings effective = settings;
    if (!command.efi.empty()) effective.efiImage = command.efi;
    Stager stager(effective, out, err);
    switch (command.verb) {
        case Command::Verb::Report:
            return stager.report(command);
        case Command::Verb::Cancel:
            return stager.cancel(command);
        default:
            return stager.stage(command);
    }
}

}  // namespace korvex::stage
