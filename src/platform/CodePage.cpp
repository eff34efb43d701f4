#include "CodePage.h"

#include <cerrno>
#include <cstdlib>
#include <iconv.h>

namespace zenta {

namespace {

class Iconv {
  public:
    Iconv(const std::string& to, const std::string& from)
        : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (ok())
            iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as possible; on an invalid sequence, writes the replacement and skips
    // `skip(in)` bytes of input.
    template <class Skip>
    std::string Convert(std::string_view in, std::string_view replacement, Skip skip) {
        std::string out;
        if (!ok())
            return std::string(in);
        out.reserve(in.size() * 2);
        char* src = const_cast<char*>(in.data());
        size_t left = in.size();
        char buf[4096];
        while (left > 0) {
            char* dst = buf;
            size_t room = sizeof buf;
            size_t r = iconv(cd_, &src, &left, &dst, &room);
            out.append(buf, static_cast<size_t>(dst - buf));
            if (r == static_cast<size_t>(-1)) {
                if (errno == E2BIG)
                    continue;
                if (errno == EINVAL) { // incomplete sequence at the end
                    break;
                }
                out.append(replacement);
                size_t n = skip(std::string_view(src, left));
                src += n;
                left -= n;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

  private:
    iconv_t cd_;
};

size_t Utf8SequenceLength(std::string_view s) {
    unsigned char c = static_cast<unsigned char>(s[0]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    return n > s.size() ? s.size() : n;
}

} // namespace

std::string AnsiCodePage() {
    const char* cp = std::getenv("ZENTA_CODEPAGE");
    return (cp && *cp) ? cp : "GBK";
}

std::string ToAnsi(std::string_view utf8) {
    const std::string cp = AnsiCodePage();
    if (cp == "UTF-8" || cp == "utf-8" || cp == "UTF8")
        return std::string(utf8);
    bool ascii = true;
    for (char c : utf8)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return std::string(utf8);
    Iconv cv(cp, "UTF-8");
    return cv.Convert(utf8, "?", Utf8SequenceLength);
}

std::string FromAnsi(std::string_view ansi) {
    const std::string cp = AnsiCodePage();
    bool ascii = true;
    for (char c : ansi)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return std::string(ansi);
    Iconv cv("UTF-8", cp);
    if (cp == "UTF-8" || cp == "utf-8" || cp == "UTF8") {
        if (IsValidUtf8(ansi))
            return std::string(ansi);
    }
    // Skip one byte of a bad sequence: in a double-byte code page the next byte may start a
    // good character.
    return cv.Convert(ansi, "\xEF\xBF\xBD", [](std::string_view) { return size_t{1}; });
}

bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
                return false;
        i += n;
    }
    return true;
}

} // namespace zenta
