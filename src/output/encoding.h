// Converting the server's UTF-8 text for consoles that use another
// encoding (GBK on many Windows consoles), through iconv.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quillo::output {

// The text holds a character that the target encoding cannot represent.
class EncodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

bool is_utf8_name(std::string_view encoding);

// `utf8` in `encoding`. Throws EncodingError for a character the encoding
// lacks, std::invalid_argument for an encoding iconv does not know.
std::string encode_strict(std::string_view utf8, const std::string& encoding);

// `utf8` in `encoding`, with "?" for every character the encoding lacks.
std::string encode_replacing(std::string_view utf8, const std::string& encoding);

// `bytes` in `encoding` back to UTF-8, with U+FFFD for every byte that does
// not start a valid sequence.
std::string decode_replacing(std::string_view bytes, const std::string& encoding);

// `bytes` in `encoding` back to UTF-8 under an error handling: "strict"
// (throws EncodingError at the first undecodable byte), "replace" (U+FFFD)
// or "ignore" (dropped). Throws std::invalid_argument for another handling
// or an unknown encoding.
std::string decode(std::string_view bytes, const std::string& encoding, const std::string& errors);

// `utf8` with "?" in place of every character outside ASCII.
std::string ascii_replacing(std::string_view utf8);

} // namespace quillo::output
