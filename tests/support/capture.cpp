#include "support/capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "app/banner.h"
#include "app/main_flow.h"

namespace korvex {

void PrintTo(const JobResult& result, std::ostream* out) {
    static const char* const kNames[] = {"Succeeded", "Failed", "CommandLineError", "RefusedByBmc", "Interrupted"};
    *out << "{" << result.value << ", " << kNames[static_cast<int>(result.outcome)] << "}";
}

}  // namespace korvex

namespace korvex::test {

void CaptureConsole::vprint(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return;
    std::string chunk(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(chunk.data(), chunk.size(), format, args);
    chunk.pop_back();
    text += chunk;
}

int CaptureConsole::readChar() {
    if (onReadChar) onReadChar();
    if (inputPos >= input.size()) return -1;
    return static_cast<unsigned char>(input[inputPos++]);
}

FakeStops::FakeStops(bmc::SimBmc& bmc) {
    bmc.onRequest([this](const bmc::Request& request) {
        if (++requests_ == stopAt) requested = true;
        (held ? heldCommands : freeCommands).push_back(request.command);
    });
}

bool FakeStops::beginBmcChange(BmcChange) {
    held = !requested;
    return held;
}

std::string scratchPath(const std::string& stem) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    for (char& c : name)
        if (c == '/') c = '_';
    return ::testing::TempDir() + "korvex-" + std::to_string(getpid()) + "-" + name + "-" + stem;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string goldenBanner() {
    std::string banner = readFile(std::string(KORVEX_TEST_DATA_DIR) + "/golden/banner.txt");
    const std::string placeholder = "@BUILDDATE@";
    size_t at = banner.find(placeholder);
    if (at != std::string::npos) banner.replace(at, placeholder.size(), buildDate());
    return banner;
}

}  // namespace korvex::test
