// std::cout and std::cerr on top of the log streams.
#pragma once

#include "output/log_streams.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

namespace quillo::output {

// A stream buffer that hands its stream one write per line: the text is
// collected per thread up to and including its line feed (or up to a
// flush), so a printed line reaches log_write once, and lines printed by
// two threads at the same moment never mix.
class LineBuffer : public std::streambuf {
  public:
    explicit LineBuffer(TextStream& target) : target_(target) {}

  protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    void append(std::string_view text);
    void hand_over(const std::string& text);

    TextStream& target_;
    std::mutex mutex_;
    std::map<std::thread::id, std::string> pending_; // each thread's unfinished line
};

// Puts the foreground tees behind std::cout, std::cerr and std::clog: the
// console the process was started with, then `log_file` (none when null),
// then `log`.
void install_foreground_streams(std::shared_ptr<TextSink> log_file, LogFunction log);

// Puts daemon streams over `daemon_log`, the file behind the redirected
// descriptors 1 and 2, or over those descriptors themselves when it is null.
void install_daemon_streams(std::shared_ptr<TextSink> daemon_log, LogFunction log);

} // namespace quillo::output
