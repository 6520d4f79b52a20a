#include "platform/format.h"

#include <cstdint>

namespace korvex::format {

namespace {

enum class Length : uint8_t { Int, Char, Short, Long, LongLong, Size, IntMax, PtrDiff };

struct Conversion {
    bool left = false;       // '-'
    bool zero = false;       // '0'
    bool plus = false;       // '+'
    bool space = false;      // ' '
    bool alternate = false;  // '#'
    int width = 0;
    int precision = -1;  // -1: none given
    Length length = Length::Int;
    char conversion = 0;
};

// Counts what goes out, so that both entry points can report the full length.
class Out {
public:
    explicit Out(Sink& sink) : sink_(sink) {}
    void put(const char* text, size_t length) {
        if (length == 0) return;
        sink_.put(text, length);
        count_ += length;
    }
    void repeat(char c, size_t count) {
        char run[32];
        for (char& r : run) r = c;
        while (count > 0) {
            const size_t n = count < sizeof run ? count : sizeof run;
            put(run, n);
            count -= n;
        }
    }
    size_t count() const { return count_; }

private:
    Sink& sink_;
    size_t count_ = 0;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of decimal digits; saturates rather than overflowing.
int readNumber(const char** p) {
    int value = 0;
    while (isDigit(**p)) {
        if (value < 100000) value = value * 10 + (**p - '0');
        ++*p;
    }
    return value;
}

const char* parseConversion(const char* p, Conversion* conv, va_list* args) {
    for (;; ++p) {
        if (*p == '-')
            conv->left = true;
        else if (*p == '0')
            conv->zero = true;
        else if (*p == '+')
            conv->plus = true;
        else if (*p == ' ')
            conv->space = true;
        else if (*p == '#')
            conv->alternate = true;
        else
            break;
    }
    if (*p == '*') {
        int w = va_arg(*args, int);
        if (w < 0) {
            conv->left = true;
            w = w == INT32_MIN ? INT32_MAX : -w;
        }
        conv->width = w;
        ++p;
    } else {
        conv->width = readNumber(&p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            const int prec = va_arg(*args, int);
            conv->precision = prec < 0 ? -1 : prec;
            ++p;
        } else {
            conv->precision = readNumber(&p);
        }
    }
    switch (*p) {
        case 'h':
            ++p;
            if (*p == 'h') {
                conv->length = Length::Char;
                ++p;
            } else {
                conv->length = Length::Short;
            }
            break;
        case 'l':
            ++p;
            if (*p == 'l') {
                conv->length = Length::LongLong;
                ++p;
            } else {
                conv->length = Length::Long;
            }
            break;
        case 'z':
            conv->length = Length::Size;
            ++p;
            break;
        case 'j':
            conv->length = Length::IntMax;
            ++p;
            break;
        case 't':
            conv->length = Length::PtrDiff;
            ++p;
            break;
        default:
            break;
    }
    conv->conversion = *p;
    return p;
}

long long signedArgument(Length length, va_list* args) {
    switch (length) {
        case Length::Char:
            return static_cast<signed char>(va_arg(*args, int));
        case Length::Short:
            return static_cast<short>(va_arg(*args, int));
        case Length::Long:
            return va_arg(*args, long);
        case Length::LongLong:
            return va_arg(*args, long long);
        case Length::Size:
        case Length::PtrDiff:
            return static_cast<long long>(va_arg(*args, ptrdiff_t));
        case Length::IntMax:
            return static_cast<long long>(va_arg(*args, intmax_t));
        default:
            return va_arg(*args, int);
    }
}

unsigned long long unsignedArgument(Length length, va_list* args) {
    switch (length) {
        case Length::Char:
            return static_cast<unsigned char>(va_arg(*args, unsigned));
        case Length::Short:
            return static_cast<unsigned short>(va_arg(*args, unsigned));
        case Length::Long:
            return va_arg(*args, unsigned long);
        case Length::LongLong:
            return va_arg(*args, unsigned long long);
        case Length::Size:
        case Length::PtrDiff:
            return static_cast<unsigned long long>(va_arg(*args, size_t));
        case Length::IntMax:
            return static_cast<unsigned long long>(va_arg(*args, uintmax_t));
        default:
            return va_arg(*args, unsigned);
    }
}

size_t toDigits(unsigned long long value, unsigned base, bool upper, char* end) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    size_t n = 0;
    while (value != 0) {
        *--end = digits[value % base];
        value /= base;
        ++n;
    }
    return n;
}

void padded(Out& out, const Conversion& conv, size_t contentLength, const char* content) {
    const size_t width = static_cast<size_t>(conv.width);
    const size_t pad = width > contentLength ? width - contentLength : 0;
    if (!conv.left) out.repeat(' ', pad);
    out.put(content, contentLength);
    if (conv.left) out.repeat(' ', pad);
}

// Sign or prefix, zeros up to the precision (or, with '0', up to the width),
// then the digits; spaces fill the rest of the width on the chosen side.
void integer(Out& out, const Conversion& conv, const char* prefix, unsigned long long magnitude, unsigned base) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    const bool upper = conv.conversion == 'X';
    size_t digits = toDigits(magnitude, base, upper, end);
    size_t precision = conv.precision < 0 ? 1 : static_cast<size_t>(conv.precision);
    // "#o" wants a leading 0 however the precision falls.
    if (conv.conversion == 'o' && conv.alternate && precision <= digits) precision = digits + 1;

    size_t prefixLength = 0;
    while (prefix[prefixLength] != '\0') ++prefixLength;
    size_t zeros = precision > digits ? precision - digits : 0;
    size_t total = prefixLength + zeros + digits;
    const size_t width = static_cast<size_t>(conv.width);
    if (conv.zero && !conv.left && conv.precision < 0 && width > total) {
        zeros += width - total;
        total = width;
    }
    const size_t pad = width > total ? width - total : 0;
    if (!conv.left) out.repeat(' ', pad);
    out.put(prefix, prefixLength);
    out.repeat('0', zeros);
    out.put(end - digits, digits);
    if (conv.left) out.repeat(' ', pad);
}

void convert(Out& out, const Conversion& conv, va_list* args) {
    switch (conv.conversion) {
        case 'd':
        case 'i': {
            const long long value = signedArgument(conv.length, args);
            const unsigned long long magnitude =
                value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
            const char* sign = value < 0 ? "-" : conv.plus ? "+" : conv.space ? " " : "";
            integer(out, conv, sign, magnitude, 10);
            break;
        }
        case 'u':
            integer(out, conv, "", unsignedArgument(conv.length, args), 10);
            break;
        case 'o':
            integer(out, conv, "", unsignedArgument(conv.length, args), 8);
            break;
        case 'x':
        case 'X': {
            const unsigned long long value = unsignedArgument(conv.length, args);
            const char* prefix = conv.alternate && value != 0 ? (conv.conversion == 'X' ? "0X" : "0x") : "";
            integer(out, conv, prefix, value, 16);
            break;
        }
        case 'p': {
            const void* pointer = va_arg(*args, void*);
            if (pointer == nullptr) {
                padded(out, conv, 5, "(nil)");
                break;
            }
            Conversion hex = conv;
            hex.conversion = 'x';
            integer(out, hex, "0x", reinterpret_cast<uintptr_t>(pointer), 16);
            break;
        }
        case 'c': {
            const char c = static_cast<char>(va_arg(*args, int));
            padded(out, conv, 1, &c);
            break;
        }
        case 's': {
            const char* s = va_arg(*args, const char*);
            if (s == nullptr) s = conv.precision < 0 || conv.precision >= 6 ? "(null)" : "";
            size_t n = 0;
            const size_t limit = conv.precision < 0 ? SIZE_MAX : static_cast<size_t>(conv.precision);
            while (n < limit && s[n] != '\0') ++n;
            padded(out, conv, n, s);
            break;
        }
        default:
            break;
    }
}

class BufferSink final : public Sink {
public:
    BufferSink(char* out, size_t capacity) : out_(out), capacity_(capacity) {}
    void put(const char* text, size_t length) override {
        for (size_t i = 0; i < length && used_ + 1 < capacity_; ++i) out_[used_++] = text[i];
    }
    void terminate() {
        if (capacity_ > 0) out_[used_] = '\0';
    }

private:
    char* out_;
    size_t capacity_;
    size_t used_ = 0;
};

}  // namespace

size_t formatv(Sink& sink, const char* format, va_list args) {
    Out out(sink);
    va_list ap;
    va_copy(ap, args);
    const char* p = format;
    while (*p != '\0') {
        const char* literal = p;
        while (*p != '\0' && *p != '%') ++p;
        out.put(literal, static_cast<size_t>(p - literal));
        if (*p == '\0') break;
        const char* start = p;  // the '%'
        if (p[1] == '%') {
            out.put("%", 1);
            p += 2;
            continue;
        }
        Conversion conv;
        p = parseConversion(p + 1, &conv, &ap);
        if (*p == '\0') {  // a '%' cut short by the end of the format
            out.put(start, static_cast<size_t>(p - start));
            break;
        }
        const char known[] = "diuoxXpcs";
        bool isKnown = false;
        for (const char* k = known; *k != '\0'; ++k) isKnown = isKnown || *k == conv.conversion;
        if (isKnown)
            convert(out, conv, &ap);
        else
            out.put(start, static_cast<size_t>(p + 1 - start));
        ++p;
    }
    va_end(ap);
    return out.count();
}

size_t formatv(char* out, size_t capacity, const char* format, va_list args) {
    BufferSink sink(out, capacity);
    const size_t n = formatv(sink, format, args);
    sink.terminate();
    return n;
}

size_t formatTo(char* out, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t n = formatv(out, capacity, format, args);
    va_end(args);
    return n;
}

}  // namespace korvex::format
