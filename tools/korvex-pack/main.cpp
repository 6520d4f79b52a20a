// korvex-pack: builds update packages, shows what the tool's validation finds
// in one, and checks a flash dump against one.
//   korvex-pack build --part NAME=FILE@OFFSET... [--signature NAME@OFFSET]
//                     [--footer plain|enc] [--footer-block OFFSET] [--size N] -o OUT
//   korvex-pack inspect PACKAGE
//   korvex-pack verify-dump PACKAGE DUMP
// Footers are enciphered with OpenSSL, so that the tool's own AES is checked
// against an independent implementation every time a package is read back.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/footer_key.h"
#include "firmware/package.h"
#include "firmware/validation.h"
#include "platform/hosted/number.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kDefaultSize = 0x2000000;
constexpr uint64_t kDefaultFooterBlock = 0x1FC0000;
constexpr size_t kChunkData = 49;
constexpr uint64_t kResponseBytes = 3;  // an answer with no data
constexpr size_t kSignatureNameOffset = 32;

void printUsage(FILE* out) {
    std::fputs(
        "Usage: korvex-pack build --part NAME=FILE@OFFSET... [--signature NAME@OFFSET]\n"
        "                         [--footer plain|enc] [--footer-block OFFSET] [--size N] -o OUT\n"
        "       korvex-pack inspect PACKAGE\n"
        "       korvex-pack verify-dump PACKAGE DUMP\n"
        "       korvex-pack --version\n"
        "\n"
        "build        writes an update package of N bytes (default 32 MiB) filled with 0xFF,\n"
        "             each part file at its offset, an image signature with the unique\n"
        "             file name NAME, and an image footer listing the parts, plain or\n"
        "             enciphered (default enc), at the start of the 32 KiB block OFFSET\n"
        "             (default 0x1fc0000, or the last block of a smaller package).\n"
        "inspect      shows what the tool's validation finds: signature, accepted footers,\n"
        "             the part table, and the ReceiveFWData requests and transfer time of\n"
        "             each part at 1 us per port access.\n"
        "verify-dump  checks that every part of PACKAGE stands in DUMP at its offset;\n"
        "             exit status 1 at the first difference.\n"
        "\n"
        "Numbers are decimal or hexadecimal with 0x.\n",
        out);
}

[[noreturn]] void failAndExit(const std::string& message) {
    std::fprintf(stderr, "korvex-pack: %s\n", message.c_str());
    std::exit(2);
}

uint64_t numberOrExit(std::string_view text, const char* what) {
    uint64_t v = 0;
    if (!korvex::hosted::parseNumber(text, &v)) failAndExit(std::string("bad ") + what + ": " + std::string(text));
    return v;
}

bool readWhole(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// ---- build ----

struct PartOption {
    std::string name;
    std::string file;
    uint64_t offset = 0;
    Bytes bytes;
};

struct Region {
    uint64_t start;
    uint64_t end;
    std::string what;
};

bool encipherFooter(const uint8_t plain[korvex::kEncipheredFooterSize], uint8_t out[korvex::kEncipheredFooterSize]) {
    uint8_t secret[korvex::kFooterSecretSize];
    korvex::assembleFooterSecret(secret);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n1 = 0;
    int n2 = 0;
    bool ok = ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, secret, secret + 16) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_EncryptUpdate(ctx, out, &n1, plain, static_cast<int>(korvex::kEncipheredFooterSize)) == 1 &&
              EVP_EncryptFinal_ex(ctx, out + n1, &n2) == 1 &&
              static_cast<size_t>(n1 + n2) == korvex::kEncipheredFooterSize;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

int build(int argc, char** argv) {
    std::vector<PartOption> parts;
    std::string signatureName;
    uint64_t signatureOffset = 0;
    bool haveSignature = false;
    bool enciphered = true;
    uint64_t size = kDefaultSize;
    uint64_t footerBlock = UINT64_MAX;
    std::string output;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) failAndExit(std::string(arg) + " wants a value");
            return argv[++i];
        };
        if (arg == "--part") {
            std::string_view v = value();
            size_t eq = v.find('=');
            size_t at = v.rfind('@');
            if (eq == std::string_view::npos || at == std::string_view::npos || at < eq || eq == 0)
                failAndExit("--part wants NAME=FILE@OFFSET: " + std::string(v));
            PartOption p;
            p.name = v.substr(0, eq);
            p.file = v.substr(eq + 1, at - eq - 1);
            p.offset = numberOrExit(v.substr(at + 1), "part offset");
            if (p.name.size() >= korvex::kPartNameField || p.name.find_first_of(" \t\n\r\v\f") != std::string::npos)
                failAndExit("part name must be one word of at most 127 characters: " + p.name);
            if (!readWhole(p.file, &p.bytes)) failAndExit("cannot read " + p.file);
            parts.push_back(std::move(p));
        } else if (arg == "--signature") {
            std::string_view v = value();
            size_t at = v.rfind('@');
            if (at == std::string_view::npos) failAndExit("--signature wants NAME@OFFSET: " + std::string(v));
            signatureName = v.substr(0, at);
            signatureOffset = numberOrExit(v.substr(at + 1), "signature offset");
            if (signatureName.size() > korvex::kUniqueNameMax || signatureName.find('\0') != std::string::npos)
                failAndExit("unique file name longer than 90 characters");
            haveSignature = true;
        } else if (arg == "--footer") {
            std::string_view v = value();
            if (v == "plain")
                enciphered = false;
            else if (v == "enc")
                enciphered = true;
            else
                failAndExit("--footer wants plain or enc");
        } else if (arg == "--footer-block") {
            footerBlock = numberOrExit(value(), "footer block");
        } else if (arg == "--size") {
            size = numberOrExit(value(), "size");
        } else if (arg == "-o") {
            output = value();
        } else {
            failAndExit("unknown build argument: " + std::string(arg));
        }
    }
    if (output.empty()) failAndExit("build wants -o OUT");
    if (parts.empty()) failAndExit("build wants at least one --part");
    if (size == 0 || size > 0x40000000) failAndExit("size must be 1 byte to 1 GiB");
    if (footerBlock == UINT64_MAX)
        footerBlock = size > kDefaultFooterBlock ? kDefaultFooterBlock : (size - 1) / korvex::kPackageBlockSize * korvex::kPackageBlockSize;
    if (footerBlock % korvex::kPackageBlockSize != 0 || footerBlock >= size)
        failAndExit("footer block must be a multiple of 0x8000 inside the package");
    if (parts.size() + 1 > korvex::kMaxParts) failAndExit("at most 7 parts fit the part table with the footer area");

    std::string footer;
    for (const PartOption& p : parts) {
        char line[200];
        std::snprintf(line, sizeof line, "[img]: %llx %llx 0 %s\n", static_cast<unsigned long long>(p.offset),
                      static_cast<unsigned long long>(p.bytes.size()), p.name.c_str());
        footer += line;
    }
    footer += "[end]";
    const uint64_t footerRoom = enciphered ? korvex::kEncipheredFooterSize - 1 : korvex::kPackageBlockSize - 1;
    if (footer.size() > footerRoom || footerBlock + footer.size() + 1 > size)
        failAndExit("the footer text (" + std::to_string(footer.size()) + " bytes) does not fit its block");

    std::vector<Region> regions;
    regions.push_back({footerBlock, footerBlock + (enciphered ? korvex::kEncipheredFooterSize : footer.size() + 1), "footer"});
    if (haveSignature)
        regions.push_back({signatureOffset, signatureOffset + kSignatureNameOffset + signatureName.size() + 1, "signature"});
    for (const PartOption& p : parts) regions.push_back({p.offset, p.offset + p.bytes.size(), "part " + p.name});
    for (size_t a = 0; a < regions.size(); ++a) {
        if (regions[a].end > size) failAndExit(regions[a].what + " lies beyond the package size");
        for (size_t b = a + 1; b < regions.size(); ++b)
            if (regions[a].start < regions[b].end && regions[b].start < regions[a].end)
                failAndExit(regions[a].what + " overlaps " + regions[b].what);
    }

    Bytes package(size, 0xFF);
    for (const PartOption& p : parts) std::copy(p.bytes.begin(), p.bytes.end(), package.begin() + static_cast<long>(p.offset));
    if (haveSignature) {
        uint8_t* s = package.data() + signatureOffset;
        std::memcpy(s, "ZYLOs_FW", 8);
        std::memset(s + 8, 0, kSignatureNameOffset - 8);
        std::memcpy(s + kSignatureNameOffset, signatureName.data(), signatureName.size());
        s[kSignatureNameOffset + signatureName.size()] = 0;
    }
    uint8_t* block = package.data() + footerBlock;
    if (enciphered) {
        uint8_t plain[korvex::kEncipheredFooterSize] = {};
        std::memcpy(plain, footer.data(), footer.size());
        if (!encipherFooter(plain, block)) failAndExit("OpenSSL failed to encipher the footer");
    } else {
        std::memcpy(block, footer.data(), footer.size());
        block[footer.size()] = 0;
    }

    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(package.data()), static_cast<std::streamsize>(package.size()));
    out.close();
    if (!out) failAndExit("cannot write " + output);
    return 0;
}

// ---- reading a package as the tool does ----

// Keeps what the scanner prints, to show it in our own words.
class CollectConsole final : public korvex::Console {
public:
    void vprint(const char* format, va_list args) override {
        char line[512];
        std::vsnprintf(line, sizeof line, format, args);
        text += line;
    }
    void flush() override {}
    int readChar() override { return -1; }
    std::string text;
};

struct BlockFinding {
    uint64_t offset;
    std::string printed;  // what the scanner printed for this block
    bool accepted;
    bool plain;
};

struct Scan {
    CollectConsole console;
    korvex::PackageScanner scanner{console};
    std::vector<BlockFinding> blocks;
    bool overfull = false;
};

bool holdsPlainMarker(const uint8_t* bytes, size_t length) {
    const void* nul = std::memchr(bytes, 0, length);
    const size_t text = nul == nullptr ? length : static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes);
    std::string_view view(reinterpret_cast<const char*>(bytes), text);
    return view.find("[img]: ") != std::string_view::npos;
}

// The validation scan of update state 2, block by block.
void scanPackage(const Bytes& package, Scan* scan) {
    for (uint64_t offset = 0; offset < package.size() && !scan->overfull; offset += korvex::kPackageBlockSize) {
        const size_t n = std::min<uint64_t>(korvex::kPackageBlockSize, package.size() - offset);
        const uint8_t* block = package.data() + offset;
        scan->console.text.clear();
        const bool accepted = scan->scanner.find_respective_image_info(block, n) == 1;
        if (accepted)
            scan->scanner.appendPart(korvex::Part{offset, korvex::kFooterAreaLength, korvex::kFooterAreaLength});
        scan->overfull = scan->scanner.overfull();
        if (accepted || !scan->console.text.empty())
            scan->blocks.push_back({offset, scan->console.text, accepted, holdsPlainMarker(block, n)});
    }
}

uint64_t fullChunks(uint64_t length) {
    if (length < kChunkData) return 0;
    const uint64_t beyondFirst = length - kChunkData;
    const uint64_t k = (beyondFirst + kChunkData - 1) / kChunkData;
    return k < 1 ? 1 : k;
}

// Port accesses of one request of N bytes on the wire with an answer of R bytes.
uint64_t accessesFor(uint64_t requestBytes, uint64_t responseBytes) { return 4 * requestBytes + 8 + 5 * responseBytes + 4; }

int inspect(const std::string& path) {
    Bytes package;
    if (!readWhole(path, &package)) failAndExit("cannot read " + path);
    Scan scan;
    scanPackage(package, &scan);
    std::printf("package %s: %zu bytes, %zu blocks of 32 KiB\n", path.c_str(), package.size(),
                (package.size() + korvex::kPackageBlockSize - 1) / korvex::kPackageBlockSize);
    for (const BlockFinding& b : scan.blocks) {
        std::string printed = b.printed;
        while (!printed.empty() && printed.back() == '\n') printed.pop_back();
        if (!printed.empty()) std::printf("block 0x%08llx: %s\n", static_cast<unsigned long long>(b.offset), printed.c_str());
        if (b.accepted)
            std::printf("block 0x%08llx: %s footer accepted\n", static_cast<unsigned long long>(b.offset),
                        b.plain ? "plain" : "enciphered");
    }
    std::printf("unique file name: \"%s\" (%zu characters)\n", scan.scanner.uniqueName(), scan.scanner.uniqueNameLength());
    const bool anyFooter = std::any_of(scan.blocks.begin(), scan.blocks.end(), [](const BlockFinding& b) { return b.accepted; });

    std::printf("\npart  start offset  area length  length      ReceiveFWData  transfer time\n");
    uint64_t totalRequests = 0;
    uint64_t totalUs = 0;
    for (uint8_t i = 0; i < scan.scanner.partCount(); ++i) {
        const korvex::Part& p = scan.scanner.part(i);
        const uint64_t full = fullChunks(p.length);
        const uint64_t rest = p.length - full * kChunkData;
        const uint64_t requests = full + 1;
        const uint64_t us = accessesFor(14 + 2, kResponseBytes) + full * accessesFor(1 + kChunkData + 2, kResponseBytes) +
                            accessesFor(1 + rest + 2, kResponseBytes);
        totalRequests += requests;
        totalUs += us;
        std::printf("%-4u  0x%08llx    0x%08llx   0x%08llx  %13llu  %10.3f s\n", i,
                    static_cast<unsigned long long>(p.startOffset), static_cast<unsigned long long>(p.areaLength),
                    static_cast<unsigned long long>(p.length), static_cast<unsigned long long>(requests), static_cast<double>(us) / 1e6);
    }
    std::printf("total %u parts%45llu  %10.3f s\n", scan.scanner.partCount(), static_cast<unsigned long long>(totalRequests),
                static_cast<double>(totalUs) / 1e6);
    std::printf("(time: sendBlockInfo and ReceiveFWData requests, each 4N+8 + 5R+4 port accesses of 1 us,\n"
                " N request bytes on the wire, R = 3 answer bytes)\n");

    if (scan.overfull) {
        std::printf("\nthe tool refuses this package: it needs more than %zu parts\n", korvex::kMaxParts);
        return 1;
    }
    if (!anyFooter) {
        std::printf("\nthe tool refuses this package: no accepted footer\n");
        return 1;
    }
    for (uint8_t i = 0; i < scan.scanner.partCount(); ++i) {
        if (!korvex::partInRange(scan.scanner.part(i), package.size())) {
            std::printf("\nthe tool refuses this package: part %u is out of range\n", i);
            return 1;
        }
    }
    return 0;
}

int verifyDump(const std::string& packagePath, const std::string& dumpPath) {
    Bytes package;
    Bytes dump;
    if (!readWhole(packagePath, &package)) failAndExit("cannot read " + packagePath);
    if (!readWhole(dumpPath, &dump)) failAndExit("cannot read " + dumpPath);
    Scan scan;
    scanPackage(package, &scan);
    if (scan.scanner.partCount() == 0) failAndExit(packagePath + " has no parts the tool would send");
    bool allGood = true;
    for (uint8_t i = 0; i < scan.scanner.partCount(); ++i) {
        const korvex::Part& p = scan.scanner.part(i);
        uint64_t differs = UINT64_MAX;
        for (uint64_t k = 0; k < p.length; ++k) {
            const uint64_t at = p.startOffset + k;
            // The tool sends bytes past the package's end as 0xFF.
            const int want = at < package.size() ? package[at] : 0xFF;
            const int have = at < dump.size() ? dump[at] : -1;
            if (want != have) {
                differs = at;
                break;
            }
        }
        if (differs == UINT64_MAX) {
            std::printf("part %u at 0x%08llx, 0x%llx bytes: ok\n", i, static_cast<unsigned long long>(p.startOffset),
                        static_cast<unsigned long long>(p.length));
            continue;
        }
        allGood = false;
        if (differs >= dump.size())
            std::printf("part %u at 0x%08llx: the dump ends at 0x%llx, inside the part\n", i,
                        static_cast<unsigned long long>(p.startOffset), static_cast<unsigned long long>(dump.size()));
        else
            std::printf("part %u at 0x%08llx: first difference at 0x%08llx: package 0x%02x, dump 0x%02x\n", i,
                        static_cast<unsigned long long>(p.startOffset), static_cast<unsigned long long>(differs),
                        differs < package.size() ? package[differs] : 0xFF, dump[differs]);
        break;
    }
    return allGood ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return 2;
    }
    std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("korvex-pack %s\n", KORVEX_VERSION);
        return 0;
    }
    if (command == "build") return build(argc - 2, argv + 2);
    if (command == "inspect" && argc == 3) return inspect(argv[2]);
    if (command == "verify-dump" && argc == 4) return verifyDump(argv[2], argv[3]);
    std::fprintf(stderr, "korvex-pack: unknown command or wrong arguments: %s\n", argv[1]);
    printUsage(stderr);
    return 2;
}
