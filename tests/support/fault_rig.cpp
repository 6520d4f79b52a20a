#include "support/fault_rig.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/main_flow.h"

namespace korvex::test {

namespace {

// A file behind the file system's limits; staged_ is the same file when it is a staged one.
class CountingFile final : public StagedFile {
public:
    CountingFile(CountingFiles& fs, File* inner, StagedFile* staged) : fs_(fs), inner_(inner), staged_(staged) {}
    size_t read(void* buffer, size_t count) override {
        const size_t n = read_ < fs_.readLimit ? inner_->read(buffer, std::min(count, fs_.readLimit - read_)) : 0;
        read_ += n;
        failed_ = failed_ || (read_ >= fs_.readLimit && n < count);
        return n;
    }
    size_t write(const void* data, size_t count) override {
        failed_ = failed_ || written_ + count > fs_.writeLimit;
        written_ += count;
        return failed_ ? 0 : inner_->write(data, count);
    }
    int seek(int64_t offset, SeekFrom whence) override { return inner_->seek(offset, whence); }
    int64_t tell() override { return inner_->tell(); }
    int flush() override { return inner_->flush(); }
    bool eof() override { return !failed_ && inner_->eof(); }
    bool error() override { return failed_ || inner_->error(); }
    bool keep() override {
        bool kept = false;
        if (fs_.failKeep)
            staged_->discard();
        else
            kept = staged_->keep();
        closed();
        return kept;
    }
    void discard() override {  // close(), for a plain file
        if (staged_ != nullptr)
            staged_->discard();
        else
            inner_->close();
        closed();
    }

private:
    void closed() {
        --fs_.openNow;
        delete this;
    }
    CountingFiles& fs_;
    File* inner_;
    StagedFile* staged_;
    size_t read_ = 0;
    size_t written_ = 0;
    bool failed_ = false;
};

// Repeats as their block once and a count: the count is what a row shows
// (retries, polls), not the bytes. A block is up to a dozen lines, each ended
// by "\r" or "\n"; the longest stretch of repeats wins and its block is
// folded in turn.
std::string foldRepeats(const std::vector<std::string>& lines) {
    std::string out;
    for (size_t at = 0; at < lines.size();) {
        size_t best = 1, times = 1;
        for (size_t k = 1; k <= 12 && at + 2 * k <= lines.size(); ++k) {
            size_t n = 1;
            while (at + (n + 1) * k <= lines.size() &&
                   std::equal(lines.begin() + at, lines.begin() + at + k, lines.begin() + at + n * k))
                ++n;
            if ((n - 1) * k > 1 && n * k > best * times) best = k, times = n;
        }
        if (times == 1) {
            out += lines[at++];
            continue;
        }
        const std::vector<std::string> block(lines.begin() + at, lines.begin() + at + best);
        out += foldRepeats(block) + "@ " + std::to_string(times) + " times@\n";
        at += best * times;
    }
    return out;
}

std::string foldRepeats(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find_first_of("\r\n", at), text.size() - 1);
        lines.push_back(text.substr(at, end + 1 - at));
        at = end + 1;
    }
    return foldRepeats(lines);
}

// The golden file's sections: a line "@@ NAME", the text, and one more
// newline. A section named @HEAD@ is text that others share: "@HEAD@\n" in
// them stands for it.
using Sections = std::vector<std::pair<std::string, std::string>>;

Sections parseSections(const std::string& text) {
    Sections sections;
    for (size_t at = 0; at + 3 < text.size();) {
        const size_t eol = text.find('\n', at);
        size_t next = text.find("\n@@ ", eol);
        if (next == std::string::npos) next = text.size() - 1;
        sections.emplace_back(text.substr(at + 3, eol - at - 3), text.substr(eol + 1, next - eol - 1));
        at = next + 1;
    }
    return sections;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Shared heads in (expand) or out, each in the opposite order of the other.
std::string heads(const Sections& sections, std::string text, bool expand) {
    for (size_t i = 0; i < sections.size(); ++i) {
        const auto& [name, head] = sections[expand ? sections.size() - 1 - i : i];
        if (name.front() != '@') continue;
        text = expand ? replaceAll(text, name + "\n", head) : replaceAll(text, head, name + "\n");
    }
    return text;
}

}  // namespace

StagedFile* CountingFiles::count(File* file, StagedFile* staged) {
    ++opens;
    openNow += file != nullptr ? 1 : 0;
    return file != nullptr ? new CountingFile(*this, file, staged) : nullptr;
}

StagedFile* CountingFiles::createStaged(const char* name) {
    StagedFile* file = inner.createStaged(name);
    return count(file, file);
}

File* CountingFiles::open(const char* name, const char* mode) {
    const auto to = redirect.find(name);
    return count(inner.open(to != redirect.end() ? to->second.c_str() : name, mode), nullptr);
}

std::vector<std::string> leftBeside(const std::string& path) {
    const std::filesystem::path p(path);
    const std::string stem = p.filename().string();
    std::vector<std::string> found;
    if (!std::filesystem::is_directory(p.parent_path())) return found;
    for (const auto& entry : std::filesystem::directory_iterator(p.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name != stem && name.rfind(stem, 0) == 0) found.push_back(name);
    }
    return found;
}

JobResult FaultRun::run(const std::vector<std::string>& args) {
    std::vector<std::string> storage{"korvex"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::string echoed;
    for (const std::string& s : storage) echoed += s + " ";
    prefix_ = goldenBanner().size() + echoed.size() + 1;
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const JobResult result = korvexMain(platform(), static_cast<int>(storage.size()), argv.data());
    if (result.outcome != JobOutcome::CommandLineError) {
        EXPECT_EQ(console.text.substr(0, prefix_), goldenBanner() + echoed + "\n");
    }
    return result;
}

void expectGolden(const std::string& name, const std::string& text, const std::string& file) {
    const std::string generic = replaceAll(foldRepeats(text), file, "@FILE@");
    const std::string path = std::string(KORVEX_TEST_DATA_DIR) + "/faults/golden.txt";
    Sections sections = parseSections(readFile(path));
    auto it = std::find_if(sections.begin(), sections.end(), [&](const auto& s) { return s.first == name; });
    const char* update = std::getenv("KORVEX_GOLDEN_UPDATE");
    if (update != nullptr && update[0] == '1') {
        if (it == sections.end()) it = sections.insert(sections.end(), {name, ""});
        it->second = heads(sections, generic, false);
        std::string out;
        for (const auto& [n, t] : sections) out += "@@ " + n + "\n" + t + "\n";
        writeFile(path, out);
        return;
    }
    ASSERT_NE(it, sections.end()) << "no golden text " << name;
    EXPECT_EQ(generic, heads(sections, it->second, true)) << name;
}

}  // namespace korvex::test
