// The streams behind standard output and standard error once the server
// runs: in the foreground a tee to the console and server.log, in a daemon a
// wrapper over the redirected stream. Both hand every text to log_write.
#pragma once

#include "output/text_sink.h"

#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

namespace quillo::output {

// One line of text without its line end; must never write to the standard
// streams, since the streams call it from inside their own writes.
using LogFunction = std::function<void(std::string_view)>;

class TextStream {
  public:
    virtual ~TextStream() = default;
    virtual void write(std::string_view data) = 0;
    virtual void flush() = 0;
};

// Writes `data` to `target`, never losing a message to an encoding the
// target lacks: on an encoding error the text is written again with "?" for
// what the target cannot show, then, failing that, as ASCII with "?". Any
// other failure of the first write is ignored (the text is lost for this
// target only); a failure of the ASCII write is thrown.
void safe_write(TextSink& target, std::string_view data);

// Foreground: every write goes to each target in order (console first,
// log file second), then to log_write without its final line feeds. One
// lock per tee keeps the parts of a write together.
class TeeStream : public TextStream {
  public:
    TeeStream(std::vector<TextSink*> targets, LogFunction log);
    void write(std::string_view data) override;
    void flush() override;

  private:
    const std::vector<TextSink*> targets_;
    const LogFunction log_;
    std::mutex lock_;
};

// Daemon: writes to the redirected standard stream (a failure reaches the
// writer) and hands non-blank text to log_write.
class DaemonStream : public TextStream {
  public:
    DaemonStream(TextSink& original, LogFunction log);
    void write(std::string_view data) override;
    void flush() override;

  private:
    TextSink& original_;
    const LogFunction log_;
};

// `data` less every line feed at its end; carriage returns stay.
std::string_view without_final_line_feeds(std::string_view data);

} // namespace quillo::output
