// Where the log streams' text ends up: the console, the log file, or a
// redirected standard stream. Text arrives as UTF-8; a sink converts it to
// its own encoding.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::output {

class TextSink {
  public:
    virtual ~TextSink() = default;
    // Throws EncodingError when the text holds a character the sink's
    // encoding cannot represent; any other failure as another exception.
    virtual void write(std::string_view utf8) = 0;
    virtual void flush() = 0;
    // The encoding's name; nothing when the sink has no way to tell.
    virtual std::optional<std::string> encoding() const = 0;
};

// A file descriptor: the console the process was started with, or a
// standard stream that the daemon pointed at its log file.
class FdSink : public TextSink {
  public:
    FdSink(int fd, std::string encoding);
    void write(std::string_view utf8) override;
    void flush() override {}
    std::optional<std::string> encoding() const override { return encoding_; }

  private:
    int fd_;
    std::string encoding_;
};

// The console's encoding: the codeset of the user's locale, read without
// changing the process's own locale. The plain C locale counts as UTF-8,
// as in current language runtimes: it is what phones' Linux userlands run
// with when LANG is unset, and their terminals show UTF-8.
std::string console_encoding();

} // namespace quillo::output
