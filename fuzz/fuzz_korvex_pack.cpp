// korvex-pack's commands against arbitrary command lines and files. The
// input's lines up to the first empty one are the arguments; what follows is
// the file "a", and whatever stands after a line "====" in it is the file "b".
// Files and output live in memory; the size cap is lowered so that packages
// of a few blocks are the rule. A failure is one line that names the program
// and changes no file; nothing but printable ASCII and line ends reaches the
// terminal; what build writes, the tool's scan accepts.
#include <map>
#include <string_view>

#include "fuzz_support.h"
#include "pack.h"

namespace {

using korvex::pack::Bytes;

class MemoryIo final : public korvex::pack::Io {
public:
    void out(std::string_view text) override { output += text; }
    void err(std::string_view text) override { errors += text; }
    bool read(const std::string& path, uint64_t cap, Bytes* bytes, std::string* why) override {
        const auto it = files.find(path);
        *why = it == files.end() ? "No such file or directory" : "it is larger than the cap";
        if (it == files.end() || it->second.size() > cap) return false;
        *bytes = it->second;
        return true;
    }
    bool write(const std::string& path, const Bytes& bytes, std::string*) override {
        files[path] = bytes;
        written = path;
        ++writes;
        return true;
    }
    std::map<std::string, Bytes> files;
    std::string output, errors, written;
    int writes = 0;
};

bool fitForATerminal(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7f); });
}

int runWith(MemoryIo& io, std::vector<std::string> args) {
    args.insert(args.begin(), "korvex-pack");
    std::vector<char*> argv = korvex::fuzz::argvOf(args);
    return korvex::pack::run(static_cast<int>(args.size()), argv.data(), io, 256 * 1024);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t blank = input.find("\n\n");
    const std::string_view head = input.substr(0, blank);
    std::vector<std::string> args;
    for (size_t at = 0; at <= head.size() && args.size() < 24;) {
        const size_t end = std::min(head.find('\n', at), head.size());
        args.emplace_back(head.substr(at, end - at));
        at = end + 1;
    }
    MemoryIo io;
    if (blank != std::string_view::npos) {
        const std::string_view rest = input.substr(blank + 2);
        const size_t split = rest.find("\n====\n");
        const std::string_view a = rest.substr(0, split);
        io.files["a"] = Bytes(a.begin(), a.end());
        if (split != std::string_view::npos) io.files["b"] = Bytes(rest.begin() + split + 6, rest.end());
    }
    const auto before = io.files;
    const int status = runWith(io, args);
    if (status < 0 || status > 2 || !fitForATerminal(io.output) || !fitForATerminal(io.errors)) std::abort();
    if (status == 2 && (io.errors.rfind("korvex-pack: ", 0) != 0 || io.errors.find('\n') != io.errors.size() - 1 ||
                        io.writes != 0 || io.files != before))
        std::abort();
    if (status != 2 && !io.errors.empty()) std::abort();
    if (status == 0 && !args.empty() && args[0] == "build") {
        MemoryIo check;
        check.files["p"] = io.files[io.written];
        if (io.writes != 1 || runWith(check, {"inspect", "p"}) != 0) std::abort();
    }
    return 0;
}
