// The printf-style formatter of the agent log: conversions come from the format,
// values from LogArg, so a format that does not match its arguments never crashes.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/log.h"

namespace {

// Huge widths or precisions would only allocate memory; printf itself has no use for them.
constexpr int kMaxWidth = 4096;

enum class Length { None, Char, Short, Long, LongLong, Size, Wide, LongDouble };

struct Spec {
    std::string flags;
    int width = 0;
    int precision = -1;
    Length length = Length::None;
};

std::int64_t ClampToInt64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (value <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::uint64_t ClampToUint64(double value) {
    if (std::isnan(value) || value <= 0) return 0;
    if (value >= 1.8446744073709552e19) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(WideStringView wide) {
    if (wide.empty()) return {};
    const int length = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, out.data(), bytes, nullptr, nullptr);
    return out;
}

// Cuts UTF-8 text to at most maxBytes without splitting a character.
std::string_view CutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

void Pad(std::string& out, std::string_view body, const Spec& spec) {
    const std::size_t width = static_cast<std::size_t>(spec.width);
    const bool left = spec.flags.find('-') != std::string::npos;
    if (!left && body.size() < width) out.append(width - body.size(), ' ');
    out.append(body);
    if (left && body.size() < width) out.append(width - body.size(), ' ');
}

template <typename T>
void AppendNumber(std::string& out, const Spec& spec, const char* lengthText, char conversion,
                  T value) {
    std::string fmt = "%" + spec.flags + "*";
    if (spec.precision >= 0) fmt += ".*";
    fmt += lengthText;
    fmt += conversion;
    char buffer[kMaxWidth + 512];
    int written = spec.precision >= 0
                      ? std::snprintf(buffer, sizeof buffer, fmt.c_str(), spec.width,
                                      spec.precision, value)
                      : std::snprintf(buffer, sizeof buffer, fmt.c_str(), spec.width, value);
    if (written < 0) return;
    if (static_cast<std::size_t>(written) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(written));
        return;
    }
    // Large doubles with %f can exceed the buffer; size it exactly.
    std::string big(static_cast<std::size_t>(written) + 1, '\0');
    if (spec.precision >= 0)
        std::snprintf(big.data(), big.size(), fmt.c_str(), spec.width, spec.precision, value);
    else
        std::snprintf(big.data(), big.size(), fmt.c_str(), spec.width, value);
    big.resize(static_cast<std::size_t>(written));
    out += big;
}

std::int64_t SignedFor(const LogArg* arg, Length length) {
    const std::int64_t value = arg ? arg->asSigned() : 0;
    switch (length) {
        case Length::Char: return static_cast<signed char>(value);
        case Length::Short: return static_cast<std::int16_t>(value);
        case Length::LongLong:
        case Length::Size: return value;
        default: return static_cast<std::int32_t>(value);
    }
}

std::uint64_t UnsignedFor(const LogArg* arg, Length length) {
    const std::uint64_t value = arg ? arg->asUnsigned() : 0;
    switch (length) {
        case Length::Char: return static_cast<unsigned char>(value);
        case Length::Short: return static_cast<std::uint16_t>(value);
        case Length::LongLong:
        case Length::Size: return value;
        default: return static_cast<std::uint32_t>(value);
    }
}

// The text of any argument for %s/%S: text as it is, numbers in decimal, so a caller's
// mismatch shows up in the log instead of crashing it.
std::string TextOf(const LogArg* arg) {
    if (!arg || arg->isNull()) return "(null)";
    switch (arg->kind()) {
        case LogArg::Kind::Text: return std::string(arg->text());
        case LogArg::Kind::WideText: return WideToUtf8(arg->wideText());
        case LogArg::Kind::Signed: return std::to_string(arg->asSigned());
        case LogArg::Kind::Unsigned: return std::to_string(arg->asUnsigned());
        case LogArg::Kind::Double: {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%g", arg->asDouble());
            return buffer;
        }
        case LogArg::Kind::Pointer:
            if (!arg->pointer()) return "(null)";
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%p", arg->pointer());
            return buffer;
    }
    return "(null)";
}

void AppendCodeUnit(std::string& out, const Spec& spec, std::uint64_t value, bool wide) {
    std::string body;
    if (wide) {
        const WCHAR unit = static_cast<WCHAR>(value);
        body = WideToUtf8(WideStringView(&unit, 1));
    } else {
        body.assign(1, static_cast<char>(value & 0xFF));
    }
    Pad(out, body, spec);
}

}  // namespace

std::int64_t LogArg::asSigned() const {
    switch (kind_) {
        case Kind::Signed: return signed_;
        case Kind::Unsigned: return static_cast<std::int64_t>(unsigned_);
        case Kind::Double: return ClampToInt64(double_);
        case Kind::Pointer: return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(pointer_));
        default: return 0;
    }
}

std::uint64_t LogArg::asUnsigned() const {
    switch (kind_) {
        case Kind::Signed: return static_cast<std::uint64_t>(signed_);
        case Kind::Unsigned: return unsigned_;
        case Kind::Double: return ClampToUint64(double_);
        case Kind::Pointer: return reinterpret_cast<std::uintptr_t>(pointer_);
        default: return 0;
    }
}

double LogArg::asDouble() const {
    switch (kind_) {
        case Kind::Signed: return static_cast<double>(signed_);
        case Kind::Unsigned: return static_cast<double>(unsigned_);
        case Kind::Double: return double_;
        default: return 0;
    }
}

std::string FormatLogText(const char* format, std::span<const LogArg> args) {
    std::string out;
    if (!format) return out;
    std::size_t nextArg = 0;
    auto take = [&]() -> const LogArg* { return nextArg < args.size() ? &args[nextArg++] : nullptr; };

    const char* p = format;
    while (*p) {
        if (*p != '%') {
            const char* run = p;
            while (*p && *p != '%') ++p;
            out.append(run, static_cast<std::size_t>(p - run));
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        Spec spec;
        while (*p && std::strchr("-+ #0", *p)) spec.flags += *p++;
        if (*p == '*') {
            ++p;
            const LogArg* arg = take();
            std::int64_t width = arg ? arg->asSigned() : 0;
            if (width < 0) {
                spec.flags += '-';
                width = width == std::numeric_limits<std::int64_t>::min() ? kMaxWidth : -width;
            }
            spec.width = static_cast<int>(std::min<std::int64_t>(width, kMaxWidth));
        } else {
            while (*p >= '0' && *p <= '9') spec.width = std::min(spec.width * 10 + (*p++ - '0'), kMaxWidth);
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                ++p;
                const LogArg* arg = take();
                const std::int64_t precision = arg ? arg->asSigned() : 0;
                spec.precision = precision < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(precision, kMaxWidth));
            } else {
                while (*p >= '0' && *p <= '9')
                    spec.precision = std::min(spec.precision * 10 + (*p++ - '0'), kMaxWidth);
            }
        }
        if (p[0] == 'h' && p[1] == 'h') spec.length = Length::Char, p += 2;
        else if (p[0] == 'h') spec.length = Length::Short, ++p;
        else if (p[0] == 'l' && p[1] == 'l') spec.length = Length::LongLong, p += 2;
        else if (p[0] == 'l') spec.length = Length::Long, ++p;
        else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') spec.length = Length::LongLong, p += 3;
        else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') spec.length = Length::Long, p += 3;
        else if (p[0] == 'I' || p[0] == 'z' || p[0] == 'j' || p[0] == 't') spec.length = Length::Size, ++p;
        else if (p[0] == 'q') spec.length = Length::LongLong, ++p;
        else if (p[0] == 'w') spec.length = Length::Wide, ++p;
        else if (p[0] == 'L') spec.length = Length::LongDouble, ++p;

        const char conversion = *p;
        if (!conversion) {  // a dangling '%' at the end is printed as it stands
            out.append(start, static_cast<std::size_t>(p - start));
            break;
        }
        ++p;
        switch (conversion) {
            case 'd':
            case 'i':
                AppendNumber(out, spec, "ll", conversion,
                             static_cast<long long>(SignedFor(take(), spec.length)));
                break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                AppendNumber(out, spec, "ll", conversion,
                             static_cast<unsigned long long>(UnsignedFor(take(), spec.length)));
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                const LogArg* arg = take();
                AppendNumber(out, spec, "", conversion, arg ? arg->asDouble() : 0.0);
                break;
            }
            case 'c':
            case 'C': {
                const LogArg* arg = take();
                const bool wide = conversion == 'C' ? spec.length != Length::Short
                                                    : (spec.length == Length::Long || spec.length == Length::Wide);
                AppendCodeUnit(out, spec, arg ? arg->asUnsigned() : 0, wide);
                break;
            }
            case 's':
            case 'S': {
                // Narrow or wide makes no difference here: LogArg knows what it holds.
                const std::string text = TextOf(take());
                Pad(out, spec.precision >= 0 ? CutUtf8(text, static_cast<std::size_t>(spec.precision))
                                             : std::string_view(text),
                    spec);
                break;
            }
            case 'p': {
                // As the Windows runtime prints pointers: upper-case hex, full width.
                const LogArg* arg = take();
                char buffer[32];
                std::snprintf(buffer, sizeof buffer, "%0*llX", static_cast<int>(sizeof(void*) * 2),
                              static_cast<unsigned long long>(arg ? arg->asUnsigned() : 0));
                Pad(out, buffer, spec);
                break;
            }
            case 'n':
                take();  // never writes through an argument
                break;
            default:
                out.append(start, static_cast<std::size_t>(p - start));
                break;
        }
    }
    return out;
}
