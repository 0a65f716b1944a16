#include "output/log_streams.h"

#include "output/encoding.h"
#include "utils/text.h"

#include <utility>

namespace quillo::output {

namespace {

void flush_quietly(TextSink& target) {
    try {
        target.flush();
    } catch (const std::exception&) {
        // A failing flush never costs a message its other targets.
    }
}

// The text again, with "?" for what the target's encoding cannot show.
void write_replacing(TextSink& target, std::string_view data) {
    std::optional<std::string> reported = target.encoding();
    if (!reported) {
        throw std::invalid_argument("the target reports no encoding");
    }
    std::string encoding = reported->empty() ? "utf-8" : *reported;
    target.write(decode_replacing(encode_replacing(data, encoding), encoding));
}

} // namespace

void safe_write(TextSink& target, std::string_view data) {
    try {
        target.write(data);
    } catch (const EncodingError&) {
        try {
            write_replacing(target, data);
        } catch (const std::exception&) {
            target.write(ascii_replacing(data));
        }
    } catch (const std::exception&) {
        // The console is gone or failing: the log still gets the text.
    }
}

std::string_view without_final_line_feeds(std::string_view data) {
    while (!data.empty() && data.back() == '\n') {
        data.remove_suffix(1);
    }
    return data;
}

TeeStream::TeeStream(std::vector<TextSink*> targets, LogFunction log)
    : targets_(std::move(targets)), log_(std::move(log)) {}

void TeeStream::write(std::string_view data) {
    std::lock_guard lock(lock_);
    for (TextSink* target : targets_) {
        safe_write(*target, data);
        flush_quietly(*target);
    }
    log_(without_final_line_feeds(data));
}

void TeeStream::flush() {
    std::lock_guard lock(lock_);
    for (TextSink* target : targets_) {
        flush_quietly(*target);
    }
}

DaemonStream::DaemonStream(TextSink& original, LogFunction log)
    : original_(original), log_(std::move(log)) {}

void DaemonStream::write(std::string_view data) {
    original_.write(data);
    flush_quietly(original_);
    if (!utils::strip_unicode_whitespace(data).empty()) {
        log_(without_final_line_feeds(data));
    }
}

void DaemonStream::flush() {
    flush_quietly(original_);
}

} // namespace quillo::output
