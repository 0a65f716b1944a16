#include "output/line_buffer.h"

#include <iostream>
#include <unistd.h>
#include <vector>

namespace quillo::output {

LineBuffer::int_type LineBuffer::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) {
        return traits_type::not_eof(ch);
    }
    char c = traits_type::to_char_type(ch);
    append(std::string_view(&c, 1));
    return ch;
}

std::streamsize LineBuffer::xsputn(const char* s, std::streamsize n) {
    append(std::string_view(s, static_cast<size_t>(n)));
    return n;
}

int LineBuffer::sync() {
    std::string rest;
    {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(std::this_thread::get_id());
        if (it != pending_.end()) {
            rest = std::move(it->second);
            pending_.erase(it);
        }
    }
    if (!rest.empty()) {
        hand_over(rest);
    }
    return 0;
}

void LineBuffer::append(std::string_view text) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        std::string& pending = pending_[std::this_thread::get_id()];
        for (size_t newline; (newline = text.find('\n')) != std::string_view::npos;) {
            pending.append(text.substr(0, newline + 1));
            lines.push_back(std::move(pending));
            pending.clear();
            text.remove_prefix(newline + 1);
        }
        pending.append(text);
        if (pending.empty()) {
            pending_.erase(std::this_thread::get_id());
        }
    }
    for (const std::string& line : lines) {
        hand_over(line);
    }
}

void LineBuffer::hand_over(const std::string& text) {
    try {
        target_.write(text);
    } catch (const std::exception&) {
        // An iostream can report a failure only as a sticky error state that
        // would silence every later message; the text is lost instead.
    }
}

namespace {

// The streams live as long as the process: request threads may still print
// while it exits, so they are never destroyed.
void install(TextStream* out, TextStream* err) {
    auto* out_buffer = new LineBuffer(*out);
    auto* err_buffer = new LineBuffer(*err);
    std::cout.flush();
    std::cerr.flush();
    std::cout.rdbuf(out_buffer);
    std::cerr.rdbuf(err_buffer);
    std::clog.rdbuf(err_buffer);
    // Whole lines, not every "<<", are the unit of a write.
    std::cerr.unsetf(std::ios::unitbuf);
}

// The sinks, like the streams, are never destroyed; they stay reachable
// from here so the leak checker sees that this is intended.
TextSink* keep_for_the_process(std::shared_ptr<TextSink> sink) {
    static auto* kept = new std::vector<std::shared_ptr<TextSink>>();
    kept->push_back(std::move(sink));
    return kept->back().get();
}

} // namespace

void install_foreground_streams(std::shared_ptr<TextSink> log_file, LogFunction log) {
    std::string encoding = console_encoding();
    std::vector<TextSink*> out_targets{new FdSink(STDOUT_FILENO, encoding)};
    std::vector<TextSink*> err_targets{new FdSink(STDERR_FILENO, encoding)};
    if (log_file) {
        TextSink* log_sink = keep_for_the_process(std::move(log_file));
        out_targets.push_back(log_sink);
        err_targets.push_back(log_sink);
    }
    install(new TeeStream(std::move(out_targets), log), new TeeStream(std::move(err_targets), log));
}

void install_daemon_streams(std::shared_ptr<TextSink> daemon_log, LogFunction log) {
    if (!daemon_log) {
        install(new DaemonStream(*new FdSink(STDOUT_FILENO, "utf-8"), log),
                new DaemonStream(*new FdSink(STDERR_FILENO, "utf-8"), log));
        return;
    }
    TextSink& sink = *keep_for_the_process(std::move(daemon_log));
    install(new DaemonStream(sink, log), new DaemonStream(sink, log));
}

} // namespace quillo::output
