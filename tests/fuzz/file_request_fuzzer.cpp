// What a client sends to name a file or a part of one: query strings, paths,
// their base64url form and Range headers. Besides crashes it checks that no
// parsed path can climb out (no "..", ".", empty or slash-holding part),
// that base64url round-trips, that a served range lies inside the file and
// that the name order is a strict weak order.
#include "app/send_file.h"
#include "text.h"
#include "workspace.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace quillo;

namespace {

void check_path(const std::string& text) {
    try {
        for (const std::string& part : files::parse_path(text)) {
            if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos ||
                part.find('\0') != std::string::npos) {
                std::abort();
            }
        }
    } catch (const files::FileError& error) {
        if (error.status() != 400) {
            std::abort();
        }
    }
}

void check_range(const std::string& header, uint64_t size) {
    app::ByteRange range = app::select_range(header, size);
    if (range.kind == app::ByteRange::Kind::Partial &&
        (range.length == 0 || range.offset >= size || range.length > size - range.offset)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find('\n');
    std::string first = input.substr(0, cut);
    std::string second = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    check_path(input);
    try {
        if (auto value = files::query_parameter(input, "path")) {
            check_path(*value);
        }
    } catch (const std::invalid_argument&) {
    }
    if (auto bytes = files::base64url_decode(first)) {
        check_path(*bytes);
        if (files::base64url_decode(files::base64url_encode(*bytes)) != bytes) {
            std::abort();
        }
    }
    check_range(first, second.size());
    check_range(first, UINT64_MAX);
    if (files::natural_less(first, second) && files::natural_less(second, first)) {
        std::abort();
    }
    if (files::natural_less(first, first)) {
        std::abort();
    }
    return 0;
}
