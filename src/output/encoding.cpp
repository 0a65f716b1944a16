#include "output/encoding.h"

#include "utils/text.h"

#include <cerrno>
#include <iconv.h>

namespace quillo::output {

namespace {

class Converter {
  public:
    Converter(const std::string& to, const std::string& from)
        : handle_(::iconv_open(to.c_str(), from.c_str())) {
        if (handle_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::invalid_argument("unknown encoding: " + (to == "UTF-8" ? from : to));
        }
    }
    ~Converter() { ::iconv_close(handle_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts as much of `input` as it can, appending to `output`; returns
    // 0 when everything was converted, otherwise the errno that stopped it
    // (EILSEQ or EINVAL), with `input` advanced to the offending byte.
    int convert(std::string_view& input, std::string& output) {
        while (!input.empty()) {
            char chunk[1024];
            char* in = const_cast<char*>(input.data());
            size_t in_left = input.size();
            char* out = chunk;
            size_t out_left = sizeof chunk;
            size_t rc = ::iconv(handle_, &in, &in_left, &out, &out_left);
            int err = rc == static_cast<size_t>(-1) ? errno : 0;
            output.append(chunk, sizeof chunk - out_left);
            input.remove_prefix(input.size() - in_left);
            if (err != 0 && err != E2BIG) {
                ::iconv(handle_, nullptr, nullptr, nullptr, nullptr); // reset the shift state
                return err;
            }
        }
        return 0;
    }

  private:
    iconv_t handle_;
};

size_t utf8_sequence_length(unsigned char lead) {
    if (lead >= 0xF0) {
        return 4;
    }
    if (lead >= 0xE0) {
        return 3;
    }
    if (lead >= 0xC0) {
        return 2;
    }
    return 1;
}

// Skips one UTF-8 character (or one stray byte) at the start of `input`.
void skip_character(std::string_view& input) {
    size_t length = utf8_sequence_length(static_cast<unsigned char>(input.front()));
    size_t k = 1;
    while (k < length && k < input.size() &&
           (static_cast<unsigned char>(input[k]) & 0xC0) == 0x80) {
        ++k;
    }
    input.remove_prefix(k);
}

} // namespace

bool is_utf8_name(std::string_view encoding) {
    std::string name = utils::ascii_lower(encoding);
    std::erase_if(name, [](char c) { return c == '-' || c == '_'; });
    return name == "utf8";
}

std::string encode_strict(std::string_view utf8, const std::string& encoding) {
    Converter converter(encoding, "UTF-8");
    std::string out;
    if (converter.convert(utf8, out) != 0) {
        throw EncodingError("'" + encoding + "' codec can't encode a character of the text");
    }
    return out;
}

std::string encode_replacing(std::string_view utf8, const std::string& encoding) {
    Converter converter(encoding, "UTF-8");
    std::string out;
    while (converter.convert(utf8, out) != 0) {
        out += '?';
        skip_character(utf8);
    }
    return out;
}

std::string decode_replacing(std::string_view bytes, const std::string& encoding) {
    return decode(bytes, encoding, "replace");
}

std::string decode(std::string_view bytes, const std::string& encoding, const std::string& errors) {
    if (errors != "strict" && errors != "replace" && errors != "ignore") {
        throw std::invalid_argument("unknown error handler name '" + errors + "'");
    }
    Converter converter("UTF-8", encoding);
    std::string out;
    size_t consumed_before = bytes.size();
    while (converter.convert(bytes, out) != 0) {
        if (errors == "strict") {
            throw EncodingError("'" + encoding + "' codec can't decode byte in position " +
                                std::to_string(consumed_before - bytes.size()));
        }
        if (errors == "replace") {
            out += "\xEF\xBF\xBD";
        }
        bytes.remove_prefix(1);
    }
    return out;
}

std::string ascii_replacing(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        if (static_cast<unsigned char>(utf8.front()) < 0x80) {
            out += utf8.front();
            utf8.remove_prefix(1);
        } else {
            out += '?';
            skip_character(utf8);
        }
    }
    return out;
}

} // namespace quillo::output
