#include "utils/text.h"

#include <array>
#include <cstdio>

namespace quillo::utils {

namespace {

enum class Problem { none, invalid_start, invalid_continuation, unexpected_end };

struct Scan {
    size_t length;   // bytes taken: the whole sequence, or its ill-formed subpart
    Problem problem; // none when the sequence is well formed
};

// The range the second byte of a sequence must fall in, by lead byte
// (Unicode's table of well-formed byte sequences).
bool second_byte_fits(unsigned char lead, unsigned char byte) {
    switch (lead) {
    case 0xE0:
        return byte >= 0xA0 && byte <= 0xBF;
    case 0xED:
        return byte >= 0x80 && byte <= 0x9F;
    case 0xF0:
        return byte >= 0x90 && byte <= 0xBF;
    case 0xF4:
        return byte >= 0x80 && byte <= 0x8F;
    default:
        return byte >= 0x80 && byte <= 0xBF;
    }
}

size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

Scan scan_sequence(std::string_view bytes, size_t pos) {
    auto lead = static_cast<unsigned char>(bytes[pos]);
    size_t length = sequence_length(lead);
    if (length == 0) {
        return {1, Problem::invalid_start};
    }
    for (size_t k = 1; k < length; ++k) {
        if (pos + k >= bytes.size()) {
            return {k, Problem::unexpected_end};
        }
        auto byte = static_cast<unsigned char>(bytes[pos + k]);
        bool fits = k == 1 ? second_byte_fits(lead, byte) : (byte & 0xC0) == 0x80;
        if (!fits) {
            return {k, Problem::invalid_continuation};
        }
    }
    return {length, Problem::none};
}

std::string describe(std::string_view bytes, size_t pos, const Scan& scan) {
    static const std::array<const char*, 4> kReasons = {
        "", "invalid start byte", "invalid continuation byte", "unexpected end of data"};
    char where[96];
    if (scan.length == 1) {
        std::snprintf(where, sizeof where, "byte 0x%02x in position %zu",
                      static_cast<unsigned char>(bytes[pos]), pos);
    } else {
        std::snprintf(where, sizeof where, "bytes in position %zu-%zu", pos, pos + scan.length - 1);
    }
    return std::string("'utf-8' codec can't decode ") + where + ": " +
           kReasons[static_cast<size_t>(scan.problem)];
}

// The length of the white-space character at `pos`, or 0.
size_t whitespace_at(std::string_view text, size_t pos) {
    auto byte = [&](size_t k) {
        return pos + k < text.size() ? static_cast<unsigned char>(text[pos + k]) : 0;
    };
    unsigned char c = byte(0);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) {
        return 1;
    }
    if (c == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) {
        return 2;
    }
    if (c == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) {
        return 3; // U+1680
    }
    if (c == 0xE2 && byte(1) == 0x80) {
        unsigned char d = byte(2);
        if ((d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF) {
            return 3; // U+2000..U+200A, U+2028, U+2029, U+202F
        }
    }
    if (c == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) {
        return 3; // U+205F
    }
    if (c == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80) {
        return 3; // U+3000
    }
    return 0;
}

// The start of the code point that ends just before `end`.
size_t previous_code_point(std::string_view text, size_t end) {
    size_t pos = end - 1;
    while (pos > 0 && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) {
        --pos;
    }
    return pos;
}

} // namespace

bool is_valid_utf8(std::string_view bytes) {
    return !utf8_decode_error(bytes).has_value();
}

std::optional<std::string> utf8_decode_error(std::string_view bytes) {
    for (size_t pos = 0; pos < bytes.size();) {
        Scan scan = scan_sequence(bytes, pos);
        if (scan.problem != Problem::none) {
            return describe(bytes, pos, scan);
        }
        pos += scan.length;
    }
    return std::nullopt;
}

std::string decode_utf8_replacing(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t pos = 0; pos < bytes.size();) {
        Scan scan = scan_sequence(bytes, pos);
        if (scan.problem == Problem::none) {
            text.append(bytes.substr(pos, scan.length));
        } else {
            text.append("\xEF\xBF\xBD");
        }
        pos += scan.length;
    }
    return text;
}

std::string strip_unicode_whitespace(std::string_view text) {
    size_t begin = 0;
    while (size_t n = begin < text.size() ? whitespace_at(text, begin) : 0) {
        begin += n;
    }
    size_t end = text.size();
    while (end > begin) {
        size_t start = previous_code_point(text, end);
        if (start < begin || whitespace_at(text, start) != end - start) {
            break;
        }
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string_view first_code_points(std::string_view text, size_t count) {
    size_t pos = 0;
    for (size_t seen = 0; pos < text.size() && seen < count; ++seen) {
        ++pos;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) {
            ++pos;
        }
    }
    return text.substr(0, pos);
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

std::string escape_controls(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    auto escape_byte = [](std::string& out, unsigned char byte) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xf];
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7f) {
            escape_byte(out, byte);
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            // U+0080..U+009F: terminals act on these as they do on ESC.
            escape_byte(out, byte);
            escape_byte(out, next);
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

} // namespace quillo::utils
