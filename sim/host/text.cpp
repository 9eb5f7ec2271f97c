// Text services of the stand-in: UTF-8 to UTF-16 conversion as
// MultiByteToWideChar does it for CP_UTF8, and wsprintfA for the formats the
// tool uses. Both are plain computations and run on any thread.
#include "host/win32_host.h"

#include <cstdarg>
#include <cstring>
#include <string>

namespace {

// Decodes UTF-8 into UTF-16 units. Ill-formed input becomes U+FFFD, one per
// maximal ill-formed subpart (the leading bytes of a sequence that could
// still have been valid), as Windows does. Returns the unit count; `bad` is
// set when anything was replaced.
size_t decode_utf8(const unsigned char* s, size_t n, char16_t* out, size_t cap, bool* bad)
{
    size_t units = 0;
    auto emit = [&](char16_t u) {
        if (units < cap)
            out[units] = u;
        units++;
    };
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            emit(b);
            i++;
            continue;
        }
        int need;
        unsigned char lo = 0x80, hi = 0xBF;
        uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0;
            else if (b == 0xED)
                hi = 0x9F;  // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            else if (b == 0xF4)
                hi = 0x8F;  // nothing above U+10FFFF
        } else {
            *bad = true;
            emit(0xFFFD);
            i++;
            continue;
        }
        size_t k = 1;
        bool ok = true;
        for (int j = 0; j < need; j++, k++) {
            if (i + k >= n) {
                ok = false;
                break;
            }
            unsigned char c = s[i + k];
            unsigned char l = j == 0 ? lo : 0x80, h = j == 0 ? hi : 0xBF;
            if (c < l || c > h) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            *bad = true;
            emit(0xFFFD);
            i += k;
            continue;
        }
        i += k;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            emit(char16_t(0xD800 + (cp >> 10)));
            emit(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            emit(char16_t(cp));
        }
    }
    return units;
}

}  // namespace

int MultiByteToWideChar(UINT cp, DWORD flags, LPCSTR src, int src_len, LPWSTR dst, int dst_len)
{
    if (cp != CP_UTF8 || !src || src_len == 0 || src_len < -1 || dst_len < 0 || (dst_len > 0 && !dst)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0 && flags != MB_ERR_INVALID_CHARS) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t n = src_len == -1 ? strlen(src) + 1 : size_t(src_len);
    bool bad = false;
    size_t units = decode_utf8(reinterpret_cast<const unsigned char*>(src), n, dst, size_t(dst_len), &bad);
    if (bad && flags == MB_ERR_INVALID_CHARS) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (dst_len != 0 && units > size_t(dst_len)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return int(units);
}

// wsprintfA: %s %c %d %i %u %x %X %% with the flags '-', '0' and '#', a
// width and a precision; integer arguments are 32 bits. At most 1024 bytes
// are stored, the terminating NUL included; the result is the count stored
// without the NUL.
int wsprintfA(LPSTR buf, LPCSTR fmt, ...)
{
    const size_t kMax = 1024 - 1;
    std::string out;
    va_list ap;
    va_start(ap, fmt);
    for (const char* p = fmt; *p && out.size() < kMax; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        p++;
        if (!*p)
            break;
        bool left = false, zero = false, alt = false;
        for (;; p++) {
            if (*p == '-')
                left = true;
            else if (*p == '0')
                zero = true;
            else if (*p == '#')
                alt = true;
            else
                break;
        }
        size_t width = 0;
        while (*p >= '0' && *p <= '9')
            width = width * 10 + size_t(*p++ - '0');
        bool has_prec = false;
        size_t prec = 0;
        if (*p == '.') {
            has_prec = true;
            p++;
            while (*p >= '0' && *p <= '9')
                prec = prec * 10 + size_t(*p++ - '0');
        }
        while (*p == 'l' || *p == 'h')
            p++;
        if (!*p)
            break;
        std::string body, prefix;
        bool numeric = false;
        switch (*p) {
        case '%': body = "%"; break;
        case 'c': body = std::string(1, char(va_arg(ap, int))); break;
        case 's': {
            const char* s = va_arg(ap, const char*);
            if (!s)
                s = "(null)";
            body = has_prec ? std::string(s, strnlen(s, prec)) : std::string(s);
            break;
        }
        case 'd':
        case 'i': {
            int32_t v = int32_t(va_arg(ap, int));
            uint32_t mag = v < 0 ? uint32_t(0) - uint32_t(v) : uint32_t(v);
            body = std::to_string(mag);
            if (v < 0)
                prefix = "-";
            numeric = true;
            break;
        }
        case 'u':
            body = std::to_string(uint32_t(va_arg(ap, unsigned)));
            numeric = true;
            break;
        case 'x':
        case 'X': {
            uint32_t v = uint32_t(va_arg(ap, unsigned));
            const char* digits = *p == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
            do {
                body.insert(body.begin(), digits[v & 15]);
                v >>= 4;
            } while (v);
            if (alt)
                prefix = *p == 'x' ? "0x" : "0X";
            numeric = true;
            break;
        }
        default:
            body = std::string(1, *p);  // not a conversion: the character itself
            break;
        }
        if (numeric && has_prec && body.size() < prec)
            body.insert(0, prec - body.size(), '0');
        size_t len = prefix.size() + body.size();
        std::string field;
        if (len >= width) {
            field = prefix + body;
        } else if (left) {
            field = prefix + body + std::string(width - len, ' ');
        } else if (zero && numeric) {
            field = prefix + std::string(width - len, '0') + body;
        } else {
            field = std::string(width - len, zero ? '0' : ' ') + prefix + body;
        }
        out += field;
    }
    va_end(ap);
    if (out.size() > kMax)
        out.resize(kMax);
    memcpy(buf, out.data(), out.size());
    buf[out.size()] = '\0';
    return int(out.size());
}
