#include "text.h"

#include <openssl/evp.h>
#include <stdexcept>
#include <vector>

namespace quillo::files {

bool is_valid_utf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80) {
            ++i;
            continue;
        }
        size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
        if (length == 0 || byte > 0xF4 || i + length > bytes.size()) {
            return false;
        }
        char32_t code = byte & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        bool overlong = code < kSmallest[length];
        bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        if (overlong || surrogate || code > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string base64_encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(written));
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out(3 * (text.size() / 4), '\0');
    int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (written < 0) {
        return std::nullopt;
    }
    // The decoder counts padding as zero bytes.
    size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    out.resize(static_cast<size_t>(written) - padding);
    return out;
}

std::string base64url_encode(std::string_view bytes) {
    std::string text = base64_encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
}

std::optional<std::string> base64url_decode(std::string_view text) {
    std::string standard(text);
    for (char& c : standard) {
        if (c == '+' || c == '/' || c == '=') {
            return std::nullopt;
        }
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    standard.append((4 - standard.size() % 4) % 4, '=');
    return base64_decode(standard);
}

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view digit_run(std::string_view text, size_t& i) {
    size_t start = i;
    while (i < text.size() && is_digit(text[i])) {
        ++i;
    }
    return text.substr(start, i - start);
}

// -1, 0 or 1 for two runs of digits by their value.
int compare_numbers(std::string_view a, std::string_view b) {
    while (a.size() > 1 && a.front() == '0') {
        a.remove_prefix(1);
    }
    while (b.size() > 1 && b.front() == '0') {
        b.remove_prefix(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    int order = a.compare(b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

} // namespace

bool natural_less(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            if (int order = compare_numbers(digit_run(a, i), digit_run(b, j)); order != 0) {
                return order < 0;
            }
            continue;
        }
        char x = fold(a[i]), y = fold(b[j]);
        if (x != y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return j < b.size(); // the one that ended first comes first
    }
    return a < b;
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = fold(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
            int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                throw std::invalid_argument("a broken percent escape in the query string");
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

} // namespace

std::optional<std::string> query_parameter(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        size_t eq = pair.find('=');
        if (percent_decode(pair.substr(0, eq)) == name) {
            return eq == std::string_view::npos ? std::string()
                                                : percent_decode(pair.substr(eq + 1));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string percent_encode(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) ||
                          c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

} // namespace quillo::files
