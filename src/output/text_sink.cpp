#include "output/text_sink.h"

#include "output/encoding.h"
#include "utils/text.h"
#include "utils/utils.h"

#include <cerrno>
#include <langinfo.h>
#include <locale.h>
#include <system_error>
#include <unistd.h>

namespace quillo::output {

FdSink::FdSink(int fd, std::string encoding) : fd_(fd), encoding_(std::move(encoding)) {}

void FdSink::write(std::string_view utf8) {
    std::string converted;
    std::string_view bytes = utf8;
    if (!is_utf8_name(encoding_)) {
        converted = encode_strict(utf8, encoding_);
        bytes = converted;
    }
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "write");
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

namespace {

// The locale name that decides the character set, by the usual precedence.
std::string ctype_locale_name() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        if (std::optional<std::string> value = utils::environment_variable(name)) {
            return *value;
        }
    }
    return "C";
}

bool names_utf8(const std::string& locale_name) {
    std::string name = utils::ascii_lower(locale_name);
    return name.find("utf-8") != std::string::npos || name.find("utf8") != std::string::npos;
}

} // namespace

std::string console_encoding() {
    // The common cases are answered from the name alone: loading a locale
    // costs a noticeable part of the start-up on a phone.
    std::string name = ctype_locale_name();
    if (name == "C" || name == "POSIX" || names_utf8(name)) {
        return "utf-8";
    }
    locale_t user = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (user == static_cast<locale_t>(nullptr)) {
        return "utf-8"; // an unusable LANG: the C locale
    }
    std::string codeset = ::nl_langinfo_l(CODESET, user);
    ::freelocale(user);
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII") {
        return "utf-8";
    }
    return codeset;
}

} // namespace quillo::output
