#include "pack.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "firmware/footer_key.h"
#include "firmware/package.h"
#include "firmware/validation.h"
#include "platform/hosted/hosted.h"
#include "platform/hosted/number.h"
#include "platform/platform.h"
#include "transport/protocol.h"

namespace korvex::pack {

namespace {

constexpr uint64_t kDefaultSize = kFlashSize;
constexpr uint64_t kDefaultFooterBlock = 0x1FC0000;
constexpr size_t kChunkData = 49;
constexpr uint64_t kResponseBytes = 3;   // an answer with no data
constexpr uint64_t kSignatureStep = 16;  // the tool looks for signatures only there
constexpr size_t kSignatureNameOffset = 32;
constexpr size_t kMaxBuildParts = kMaxParts - 1;  // the footer area takes the last row
constexpr char kWebfsName[] = "out_webfs_img.bin";

constexpr char kUsage[] =
    "korvex-pack: builds and inspects korvex's update packages, and checks a flash\n"
    "dump against a package.\n"
    "Usage: korvex-pack build --part NAME=FILE@OFFSET... [--signature NAME@OFFSET]\n"
    "           [--footer plain|enc] [--footer-block OFFSET] [--size N] -o OUT\n"
    "       korvex-pack inspect PACKAGE\n"
    "       korvex-pack verify-dump PACKAGE DUMP\n"
    "       korvex-pack --help | --version\n"
    "\n"
    "build        writes an update package of N bytes (default 32 MiB) filled with\n"
    "             0xFF, each part file at its offset, an image signature with the\n"
    "             unique file name NAME, and an image footer listing the parts, plain\n"
    "             or enciphered (default enc), at the start of the 32 KiB block\n"
    "             OFFSET (default 0x1fc0000, or the last block of a smaller package).\n"
    "inspect      shows what the tool's validation finds: signature, accepted\n"
    "             footers, the part table, and the ReceiveFWData requests and\n"
    "             transfer time of each part at 1 us per port access.\n"
    "verify-dump  checks that every part of PACKAGE stands in DUMP at its offset;\n"
    "             exit status 1 at the first difference.\n"
    "\n"
    "Numbers are decimal or hexadecimal with 0x. No file read or written may be\n"
    "larger than 64 MiB. Bytes of a package's text that a terminal could obey are\n"
    "shown as \\xNN. Exit status: 0 done, 1 the tool refuses the package (inspect)\n"
    "or the dump differs (verify-dump), 2 any other error.\n"
    "\n"
    "Example, a package with one part, inspected, then a dump checked against it:\n"
    "  korvex-pack build --part boot=boot.bin@0x10000 --signature fw.bin@0 -o fw.bin\n"
    "  korvex-pack inspect fw.bin && korvex-pack verify-dump fw.bin dump.bin\n";

// Every offset and length of a package is checked here, without ever
// forming a sum that could wrap: [start, start + length).
struct Span {
    uint64_t start = 0;
    uint64_t length = 0;

    bool within(uint64_t size) const { return start <= size && length <= size - start; }
    bool overlaps(const Span& other) const {
        if (length == 0 || other.length == 0) return false;
        return start <= other.start ? other.start - start < length : start - other.start < other.length;
    }
};

std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* text, ...) {
    va_list args;
    va_start(args, text);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, text, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, text, args);
    va_end(args);
    return out;
}

// Text that is not korvex-pack's own, fit for a terminal.
std::string shown(std::string_view text) { return hosted::escapedText(text); }

// The package in memory as the File the tool's scan reads.
class BytesFile final : public File {
public:
    explicit BytesFile(const Bytes& bytes) : bytes_(bytes) {}
    size_t read(void* buffer, size_t count) override {
        const size_t n = std::min(count, bytes_.size() - position_);
        std::memcpy(buffer, bytes_.data() + position_, n);
        position_ += n;
        return n;
    }
    size_t write(const void*, size_t) override { return 0; }
    int seek(int64_t offset, SeekFrom whence) override {
        if (whence != SeekFrom::Start || offset < 0 || static_cast<uint64_t>(offset) > bytes_.size()) return -1;
        position_ = static_cast<size_t>(offset);
        return 0;
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int flush() override { return 0; }
    bool eof() override { return position_ == bytes_.size(); }
    bool error() override { return false; }
    int close() override { return 0; }

private:
    const Bytes& bytes_;
    size_t position_ = 0;
};

struct BlockFinding {
    uint64_t offset;
    std::string printed;  // what the tool's reader printed for this block, defused
    bool accepted;
    bool plain;
};

bool holdsPlainMarker(const uint8_t* bytes, size_t length) {
    const void* nul = std::memchr(bytes, 0, length);
    const size_t text = nul == nullptr ? length : static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes);
    return std::string_view(reinterpret_cast<const char*>(bytes), text).find(kFooterEntryMarker) !=
           std::string_view::npos;
}

// Keeps what the tool's reader prints, block by block, to show it in our words.
class Collector final : public Console, public BlockObserver {
public:
    // The reader's own lines carry only its own words; the package's text
    // comes through printUntrusted.
    void vprint(const char* text, va_list args) override {
        char line[512];
        std::vsnprintf(line, sizeof line, text, args);
        printed_ += line;
    }
    void printUntrusted(const char* text) override { printed_ += shown(text); }
    void flush() override {}
    int readChar() override { return -1; }
    void blockScanned(uint64_t offset, const uint8_t* bytes, size_t length, bool accepted) override {
        while (!printed_.empty() && printed_.back() == '\n') printed_.pop_back();
        if (accepted || !printed_.empty())
            blocks.push_back({offset, printed_, accepted, holdsPlainMarker(bytes, length)});
        printed_.clear();
    }

    std::vector<BlockFinding> blocks;

private:
    std::string printed_;
};

// The package read by the tool's own validation scan, as after update state 2.
struct Reading {
    explicit Reading(const Bytes& package) {
        BytesFile file(package);
        Bytes buffer(kPackageBlockSize);
        verdict = scanPackageBlocks(file, package.size(), buffer.data(), scanner, &collector);
    }

    Collector collector;
    PackageScanner scanner{collector};
    PackageVerdict verdict = PackageVerdict::NoFooter;
};

std::string refusal(const Reading& r, uint64_t packageSize) {
    switch (r.verdict) {
        case PackageVerdict::Accepted:
            break;
        case PackageVerdict::TooManyParts:
            return format("it needs more than %zu parts", kMaxParts);
        case PackageVerdict::NoFooter:
            return "no accepted footer";
        case PackageVerdict::PartOutOfRange:
            for (uint8_t i = 0; i < r.scanner.partCount(); ++i)
                if (!partInRange(r.scanner.part(i), packageSize)) return format("part %u is out of range", i);
            return "a part is out of range";
    }
    return "";
}

bool encipherFooter(const uint8_t plain[kEncipheredFooterSize], uint8_t out[kEncipheredFooterSize]) {
    uint8_t secret[kFooterSecretSize];
    assembleFooterSecret(secret);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n1 = 0;
    int n2 = 0;
    const bool ok = ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, secret, secret + 16) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_EncryptUpdate(ctx, out, &n1, plain, static_cast<int>(kEncipheredFooterSize)) == 1 &&
                    EVP_EncryptFinal_ex(ctx, out + n1, &n2) == 1 &&
                    static_cast<size_t>(n1 + n2) == kEncipheredFooterSize;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

uint64_t fullChunks(uint64_t length) {
    if (length < kChunkData) return 0;
    const uint64_t beyondFirst = length - kChunkData;
    const uint64_t k = (beyondFirst + kChunkData - 1) / kChunkData;
    return k < 1 ? 1 : k;
}

// Port accesses of one request of N bytes on the wire with an answer of R bytes.
uint64_t accessesFor(uint64_t requestBytes, uint64_t responseBytes) {
    return 4 * requestBytes + 8 + 5 * responseBytes + 4;
}

struct PartOption {
    std::string name;
    uint64_t offset = 0;
    Bytes bytes;
};

class Command {
public:
    Command(Io& io, uint64_t cap) : io_(io), cap_(cap) {}

    int run(int argc, char** argv) {
        const std::string_view command = argc >= 2 ? argv[1] : "";
        int status = 0;
        bool ok = false;
        if (argc < 2) {
            ok = fail("a command is wanted: build, inspect or verify-dump (--help shows the usage)");
        } else if (argc == 2 && (command == "--help" || command == "-h" || command == "help")) {
            io_.out(kUsage);
            ok = true;
        } else if (argc == 2 && command == "--version") {
            io_.out(std::string("korvex-pack ") + KORVEX_VERSION + "\n");
            ok = true;
        } else if (command == "build") {
            ok = build(argc - 2, argv + 2);
        } else if (command == "inspect" && argc == 3) {
            ok = inspect(argv[2], &status);
        } else if (command == "verify-dump" && argc == 4) {
            ok = verifyDump(argv[2], argv[3], &status);
        } else {
            ok = fail("unknown command or wrong arguments: " + shown(command) + " (--help shows the usage)");
        }
        if (ok) return status;
        io_.err("korvex-pack: " + error_ + "\n");
        return 2;
    }

private:
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    bool number(std::string_view text, const char* what, uint64_t* value) {
        if (hosted::parseNumber(text, value)) return true;
        return fail(std::string("bad ") + what + ": " + shown(text));
    }

    bool readFile(const std::string& path, Bytes* bytes) {
        std::string why;
        if (io_.read(path, cap_, bytes, &why)) return true;
        return fail("cannot read " + shown(path) + ": " + why);
    }

    bool partOption(std::string_view v, std::vector<PartOption>* parts) {
        const size_t eq = v.find('=');
        const size_t at = v.rfind('@');
        if (eq == std::string_view::npos || at == std::string_view::npos || at < eq || eq == 0)
            return fail("--part wants NAME=FILE@OFFSET: " + shown(v));
        if (parts->size() == kMaxBuildParts)
            return fail(format("at most %zu parts fit the part table with the footer area", kMaxBuildParts));
        PartOption p;
        p.name = v.substr(0, eq);
        // The tool reads the name as one word, and its footer entry ends at "[end]".
        if (p.name.size() >= kPartNameField || p.name.find_first_of(" \t\n\r\v\f") != std::string::npos ||
            p.name.find(kFooterEndMark) != std::string::npos)
            return fail("part name must be one word of at most 127 characters without \"[end]\": " + shown(p.name));
        if (!number(v.substr(at + 1), "part offset", &p.offset)) return false;
        if (!readFile(std::string(v.substr(eq + 1, at - eq - 1)), &p.bytes)) return false;
        parts->push_back(std::move(p));
        return true;
    }

    bool build(int argc, char** argv) {
        std::vector<PartOption> parts;
        std::string signatureName;
        uint64_t signatureOffset = 0;
        bool haveSignature = false;
        bool enciphered = true;
        uint64_t size = kDefaultSize;
        uint64_t footerBlock = UINT64_MAX;
        std::string output;
        for (int i = 0; i < argc; ++i) {
            const std::string_view arg = argv[i];
            static constexpr std::string_view kOptions[] = {"--part",         "--signature", "--footer",
                                                            "--footer-block", "--size",      "-o"};
            if (std::find(std::begin(kOptions), std::end(kOptions), arg) == std::end(kOptions))
                return fail("unknown build argument: " + shown(arg));
            if (i + 1 >= argc) return fail(std::string(arg) + " wants a value");
            const std::string_view value = argv[++i];
            if (arg == "--part") {
                if (!partOption(value, &parts)) return false;
            } else if (arg == "--signature") {
                const size_t at = value.rfind('@');
                if (at == std::string_view::npos) return fail("--signature wants NAME@OFFSET: " + shown(value));
                signatureName = value.substr(0, at);
                if (signatureName.size() > kUniqueNameMax) return fail("unique file name longer than 90 characters");
                if (!number(value.substr(at + 1), "signature offset", &signatureOffset)) return false;
                haveSignature = true;
            } else if (arg == "--footer") {
                if (value != "plain" && value != "enc") return fail("--footer wants plain or enc");
                enciphered = value == "enc";
            } else if (arg == "--footer-block") {
                if (!number(value, "footer block", &footerBlock)) return false;
            } else if (arg == "--size") {
                if (!number(value, "size", &size)) return false;
            } else {
                output = value;
            }
        }
        if (output.empty()) return fail("build wants -o OUT");
        if (parts.empty()) return fail("build wants at least one --part");
        if (size == 0 || size > cap_)
            return fail(format("size must be 1 byte to %llu MiB", static_cast<unsigned long long>(cap_ >> 20)));
        if (footerBlock == UINT64_MAX)
            footerBlock =
                size > kDefaultFooterBlock ? kDefaultFooterBlock : (size - 1) / kPackageBlockSize * kPackageBlockSize;
        if (footerBlock % kPackageBlockSize != 0 || footerBlock >= size)
            return fail("footer block must be a multiple of 0x8000 inside the package");

        std::string footer;
        for (const PartOption& p : parts)
            footer += format("%s%llx %zx 0 %s\n", kFooterEntryMarker, static_cast<unsigned long long>(p.offset),
                             p.bytes.size(), p.name.c_str());
        footer += kFooterEndMark;
        const uint64_t footerRoom = enciphered ? kEncipheredFooterSize - 1 : kPackageBlockSize - 1;
        if (footer.size() > footerRoom || !Span{footerBlock, footer.size() + 1}.within(size))
            return fail(format("the footer text (%zu bytes) does not fit its block", footer.size()));

        struct Region {
            Span span;
            std::string what;
        };
        std::vector<Region> regions{{{footerBlock, enciphered ? kEncipheredFooterSize : footer.size() + 1}, "footer"}};
        if (haveSignature) {
            const Span signature{signatureOffset, kSignatureNameOffset + signatureName.size() + 1};
            if (signatureOffset % kSignatureStep != 0) return fail("signature offset must be a multiple of 16");
            // The tool reads the name only up to the end of the signature's block.
            if (signature.within(size) &&
                !Span{signatureOffset % kPackageBlockSize, signature.length}.within(kPackageBlockSize))
                return fail("the signature's name would cross into the next 32 KiB block");
            regions.push_back({signature, "signature"});
        }
        for (const PartOption& p : parts) regions.push_back({{p.offset, p.bytes.size()}, "part " + shown(p.name)});
        for (size_t a = 0; a < regions.size(); ++a) {
            if (!regions[a].span.within(size)) return fail(regions[a].what + " lies beyond the package size");
            for (size_t b = a + 1; b < regions.size(); ++b)
                if (regions[a].span.overlaps(regions[b].span))
                    return fail(regions[a].what + " overlaps " + regions[b].what);
        }

        Bytes package(size, 0xFF);
        for (const PartOption& p : parts)
            std::copy(p.bytes.begin(), p.bytes.end(), package.begin() + static_cast<ptrdiff_t>(p.offset));
        if (haveSignature) {
            uint8_t* s = package.data() + signatureOffset;
            std::memcpy(s, kPackageSignature, sizeof kPackageSignature - 1);
            std::memset(s + 8, 0, kSignatureNameOffset - 8);
            std::memcpy(s + kSignatureNameOffset, signatureName.data(), signatureName.size());
            s[kSignatureNameOffset + signatureName.size()] = 0;
        }
        uint8_t* block = package.data() + footerBlock;
        if (enciphered) {
            uint8_t plain[kEncipheredFooterSize] = {};
            std::memcpy(plain, footer.data(), footer.size());
            if (!encipherFooter(plain, block)) return fail("OpenSSL failed to encipher the footer");
        } else {
            std::memcpy(block, footer.data(), footer.size());
            block[footer.size()] = 0;
        }
        if (!readsBackAsBuilt(package, parts, footerBlock, haveSignature ? &signatureName : nullptr))
            return fail(
                "the tool would not read this package as built (a part's bytes hold a footer or a signature); " +
                shown(output) + " not written");

        std::string why;
        if (!io_.write(output, package, &why)) return fail("cannot write " + shown(output) + ": " + why);
        return true;
    }

    // Part bytes are the user's: they may hold a footer or a signature of
    // their own, which would change what the tool sends.
    static bool readsBackAsBuilt(const Bytes& package, const std::vector<PartOption>& parts, uint64_t footerBlock,
                                 const std::string* signatureName) {
        const Reading r(package);
        if (r.verdict != PackageVerdict::Accepted || r.scanner.partCount() != parts.size() + 1) return false;
        if (signatureName != nullptr && *signatureName != r.scanner.uniqueName()) return false;
        for (size_t i = 0; i < parts.size(); ++i) {
            const Part& got = r.scanner.part(i);
            const bool webfs = parts[i].name.starts_with(kWebfsName);  // sent longer by design
            if (got.startOffset != parts[i].offset || (!webfs && got.length != parts[i].bytes.size())) return false;
        }
        return r.scanner.part(parts.size()) == Part{footerBlock, kFooterAreaLength, kFooterAreaLength};
    }

    bool inspect(const std::string& path, int* status) {
        Bytes package;
        if (!readFile(path, &package)) return false;
        const Reading r(package);
        std::string text = format("package %s: %zu bytes, %zu blocks of 32 KiB\n", shown(path).c_str(), package.size(),
                                  (package.size() + kPackageBlockSize - 1) / kPackageBlockSize);
        for (const BlockFinding& b : r.collector.blocks) {
            const auto offset = static_cast<unsigned long long>(b.offset);
            if (!b.printed.empty()) text += format("block 0x%08llx: %s\n", offset, b.printed.c_str());
            if (b.accepted)
                text += format("block 0x%08llx: %s footer accepted\n", offset, b.plain ? "plain" : "enciphered");
        }
        text += format("unique file name: \"%s\" (%zu characters)\n", shown(r.scanner.uniqueName()).c_str(),
                       r.scanner.uniqueNameLength());

        text += "\npart  start offset  area length  length      ReceiveFWData  transfer time\n";
        uint64_t totalRequests = 0;
        uint64_t totalUs = 0;
        for (uint8_t i = 0; i < r.scanner.partCount(); ++i) {
            const Part& p = r.scanner.part(i);
            const uint64_t full = fullChunks(p.length);
            const uint64_t rest = p.length - full * kChunkData;
            const uint64_t requests = full + 1;
            const uint64_t us = accessesFor(14 + 2, kResponseBytes) +
                                full * accessesFor(1 + kChunkData + 2, kResponseBytes) +
                                accessesFor(1 + rest + 2, kResponseBytes);
            totalRequests += requests;
            totalUs += us;
            text += format("%-4u  0x%08llx    0x%08llx   0x%08llx  %13llu  %10.3f s\n", i,
                           static_cast<unsigned long long>(p.startOffset),
                           static_cast<unsigned long long>(p.areaLength), static_cast<unsigned long long>(p.length),
                           static_cast<unsigned long long>(requests), static_cast<double>(us) / 1e6);
        }
        text += format("total %u parts%45llu  %10.3f s\n", r.scanner.partCount(),
                       static_cast<unsigned long long>(totalRequests), static_cast<double>(totalUs) / 1e6);
        text +=
            "(time: sendBlockInfo and ReceiveFWData requests, each 4N+8 + 5R+4 port accesses of 1 us,\n"
            " N request bytes on the wire, R = 3 answer bytes)\n";
        if (r.verdict != PackageVerdict::Accepted) {
            text += "\nthe tool refuses this package: " + refusal(r, package.size()) + "\n";
            *status = 1;
        }
        io_.out(text);
        return true;
    }

    bool verifyDump(const std::string& packagePath, const std::string& dumpPath, int* status) {
        Bytes package;
        Bytes dump;
        if (!readFile(packagePath, &package) || !readFile(dumpPath, &dump)) return false;
        const Reading r(package);
        if (r.verdict != PackageVerdict::Accepted)
            return fail("the tool refuses " + shown(packagePath) + ": " + refusal(r, package.size()));
        std::string text;
        for (uint8_t i = 0; i < r.scanner.partCount(); ++i) {
            const Part& p = r.scanner.part(i);
            const auto start = static_cast<unsigned long long>(p.startOffset);
            // Accepted parts end below 2^33: no sum here can wrap.
            uint64_t differs = UINT64_MAX;
            for (uint64_t at = p.startOffset; at < p.startOffset + p.length; ++at) {
                // The tool sends bytes past the package's end as 0xFF.
                const int want = at < package.size() ? package[at] : 0xFF;
                const int have = at < dump.size() ? dump[at] : -1;
                if (want != have) {
                    differs = at;
                    break;
                }
            }
            if (differs == UINT64_MAX) {
                text += format("part %u at 0x%08llx, 0x%llx bytes: ok\n", i, start,
                               static_cast<unsigned long long>(p.length));
                continue;
            }
            if (differs >= dump.size())
                text += format("part %u at 0x%08llx: the dump ends at 0x%zx, inside the part\n", i, start, dump.size());
            else
                text += format("part %u at 0x%08llx: first difference at 0x%08llx: package 0x%02x, dump 0x%02x\n", i,
                               start, static_cast<unsigned long long>(differs),
                               differs < package.size() ? package[differs] : 0xFF, dump[differs]);
            *status = 1;
            break;
        }
        io_.out(text);
        return true;
    }

    Io& io_;
    const uint64_t cap_;
    std::string error_;
};

}  // namespace

int run(int argc, char** argv, Io& io, uint64_t cap) { return Command(io, cap).run(argc, argv); }

}  // namespace korvex::pack
