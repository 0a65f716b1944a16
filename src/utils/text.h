// UTF-8 helpers: validation, lenient decoding and Unicode white space.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillo::utils {

bool is_valid_utf8(std::string_view bytes);

// Why `bytes` is not valid UTF-8, worded the way decoders usually report it
// ("'utf-8' codec can't decode byte 0xff in position 3: invalid start
// byte"); nothing when it is valid.
std::optional<std::string> utf8_decode_error(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD, one per maximal
// ill-formed subpart, so the result is always valid UTF-8.
std::string decode_utf8_replacing(std::string_view bytes);

// Removes white space at both ends: ASCII blanks and controls that count as
// space, and the Unicode space characters (U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000). A byte-order mark
// is not white space. Expects valid UTF-8.
std::string strip_unicode_whitespace(std::string_view text);

// The first `count` code points of a UTF-8 text (all of it when shorter).
std::string_view first_code_points(std::string_view text, size_t count);

// The value of a hexadecimal digit, or -1 for any other character.
int hex_digit_value(char c);

// `text` with the ASCII capitals made small; other bytes as they are.
std::string ascii_lower(std::string_view text);

// Client-supplied text made safe for one console or log line: a line feed
// becomes the two characters "\\n", every other control character (C0,
// DEL, and C1 as UTF-8 encodes it) "\\xNN" per byte. The rest is kept.
std::string escape_controls(std::string_view text);

std::string replace_all(std::string text, std::string_view from, std::string_view to);

} // namespace quillo::utils
