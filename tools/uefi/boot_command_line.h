// The command line of a run started by the boot manager instead of the
// UEFI Shell: the load options of the boot entry, which the firmware hands
// over as bytes. Free of firmware types so that the host can test it, and
// shared with korvex-stage, which writes what this reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex::uefi {

// argv[0] when the command line leaves the program name out.
inline constexpr char kDefaultProgramName[] = "Korvex.efi";
// The one option of this way of starting, given before the tool's arguments:
// reset the machine when the run has ended instead of returning to the boot
// manager.
inline constexpr char16_t kResetOption[] = u"--reset";

// The number of UCS-2 units of command line in the load options, or 0 when
// they hold none. Other tools put binary data there (a GUID, a device
// path), so only text counts: an even number of bytes, then characters that
// are neither control characters nor non-characters, up to an optional
// terminating zero that may only be followed by zeros.
constexpr size_t commandLineUnits(const uint8_t* bytes, size_t size) {
    if (bytes == nullptr || size < 2 || size % 2 != 0) return 0;
    const size_t total = size / 2;
    size_t length = 0;
    for (; length < total; ++length) {
        const uint16_t unit = static_cast<uint16_t>(bytes[2 * length] | bytes[2 * length + 1] << 8);
        if (unit == 0) break;
        const bool control = (unit < 0x20 && unit != u'\t') || (unit >= 0x7F && unit < 0xA0);
        if (control || unit >= 0xFFFE) return 0;
    }
    for (size_t i = 2 * length; i < size; ++i)
        if (bytes[i] != 0) return 0;
    return length;
}

// Splits a command line into words as the UEFI Shell splits an
// application's command line: spaces and tabs separate words; double quotes
// enclose a stretch in which they do not, and are dropped; '^' makes the
// character after it literal (a space, a quote, '^') and is dropped. A quote
// left open runs to the end; a '^' at the very end is kept.
// The words go to out one after another, each ended by a zero unit; out
// must hold length + 1 units (no line needs more). Returns the word count.
constexpr size_t splitCommandLine(const char16_t* line, size_t length, char16_t* out) {
    size_t words = 0;
    size_t used = 0;
    size_t i = 0;
    for (;;) {
        while (i < length && (line[i] == u' ' || line[i] == u'\t')) ++i;
        if (i == length) return words;
        bool quoted = false;
        while (i < length && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
            const char16_t c = line[i++];
            if (c == u'^' && i < length) {
                out[used++] = line[i++];
            } else if (c == u'"') {
                quoted = !quoted;
            } else {
                out[used++] = c;
            }
        }
        out[used++] = 0;
        ++words;
    }
}

// How a split command line starts the run.
struct BootStart {
    bool isCommandLine = false;  // false: not meant for this program, run nothing
    bool programNamed = false;   // the first word is the program name
    bool reset = false;          // --reset was given
    size_t firstArgument = 0;    // index of the tool's first argument word
};

namespace detail {
constexpr bool sameWord(const char16_t* word, const char16_t* wanted) {
    size_t i = 0;
    for (; word[i] != 0 && word[i] == wanted[i]; ++i) {
    }
    return word[i] == wanted[i];
}

constexpr bool endsWithEfi(const char16_t* word) {
    size_t n = 0;
    while (word[n] != 0) ++n;
    if (n < 4 || word[n - 4] != u'.') return false;
    const char16_t tail[] = {u'e', u'f', u'i'};
    for (size_t k = 0; k < 3; ++k)
        if ((word[n - 3 + k] | 0x20) != tail[k]) return false;
    return true;
}
}  // namespace detail

// The first word is the program name when it ends in ".efi" (as
// "Korvex.efi" or "\EFI\korvex\Korvex.efi"); when it starts with '-' the
// name was left out and the tool's options begin at once. Any other first
// word means the entry was not written for this program. words are the
// output of splitCommandLine.
constexpr BootStart classifyCommandLine(const char16_t* words, size_t count) {
    BootStart start;
    if (count == 0) return start;
    size_t index = 0;
    const char16_t* word = words;
    auto next = [&]() {
        while (*word != 0) ++word;
        ++word;
        ++index;
    };
    if (detail::endsWithEfi(word)) {
        start.programNamed = true;
        next();
    } else if (word[0] != u'-') {
        return start;
    }
    start.isCommandLine = true;
    if (index < count && detail::sameWord(word, kResetOption)) {
        start.reset = true;
        next();
    }
    start.firstArgument = index;
    return start;
}

// Hands the run's arguments to add, program name first; add(nullptr) stands
// for kDefaultProgramName when the line leaves the name out. Stops at the
// first add that returns false, and returns false then.
template <typename Add>
constexpr bool forEachArgument(const char16_t* words, size_t count, const BootStart& start, Add add) {
    if (!start.programNamed && !add(nullptr)) return false;
    const char16_t* word = words;
    for (size_t i = 0; i < count; ++i) {
        const bool wanted = (i == 0 && start.programNamed) || i >= start.firstArgument;
        if (wanted && !add(word)) return false;
        while (*word != 0) ++word;
        ++word;
    }
    return true;
}

}  // namespace korvex::uefi
