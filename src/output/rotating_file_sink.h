// server.log as the log streams write it: appended to, and rotated once it
// would grow past a size, so that a flood of console lines cannot fill a
// phone's storage.
#pragma once

#include "output/text_sink.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace spdlog {
class logger;
}

namespace quillo::output {

// 10 MiB, one old file kept: the same rotation as quillo.log's.
inline constexpr size_t kServerLogLimit = 10 * 1024 * 1024;

// A file that is rotated like quillo.log: when a write would take it past
// `max_bytes`, it becomes <name>.1.<ext> (replacing the previous one) and a
// new file is begun. The files it creates, the first and those begun after a
// rotation, have mode 0600 whatever the umask: they keep all the server
// printed. Writes from several threads arrive whole. Failures to
// write are dropped: the file is a copy of the console, never a reason to
// lose a message elsewhere.
class RotatingFileSink : public TextSink {
  public:
    // Runs on the descriptor of every file the sink opens, the first one
    // and each after a rotation.
    using OpenHook = std::function<void(int fd)>;

    // Throws std::system_error naming the file when it cannot be opened for
    // appending.
    RotatingFileSink(const std::string& path, size_t max_bytes, OpenHook after_open = {});
    void write(std::string_view utf8) override;
    void flush() override;
    std::optional<std::string> encoding() const override { return "utf-8"; }

  private:
    std::shared_ptr<spdlog::logger> logger_;
};

} // namespace quillo::output
