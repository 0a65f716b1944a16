// What the server offers route modules besides routing: its directories and
// its way of sending files. The server executable defines these functions;
// a module calls them like any other function once it is loaded.
#pragma once

#include "quillo/http.h"

#include <string>
#include <string_view>
#include <vector>

namespace quillo {

// The user's workspace, an absolute path, fixed at start-up.
std::string workspace_dir();

// The server's configuration directory (password, session key, logs): the
// place for a module's own state that must not sit in the workspace.
std::string config_dir();

// The addresses the server listens on ("127.0.0.1", "::", a LAN address),
// and its port. A module that opens a listener of its own binds the same
// addresses, so that whoever can reach the IDE can reach it, and nobody else.
std::vector<std::string> listen_hosts();
int server_port();

// The content type for a file name, by its extension; text types carry
// "; charset=utf-8", unknown extensions are application/octet-stream.
std::string content_type_for(std::string_view filename);

// Answers `request` with the regular file open at `fd`, which it takes over
// (also when it throws): ETag and Last-Modified with 304 for a current copy,
// and a single byte range (206, or 416 when it cannot be satisfied;
// If-Range honoured; several ranges get the whole file). The content type
// comes from `filename`. The file is read while the answer is sent.
// Throws std::system_error when the file cannot be examined.
Response send_open_file(const Request& request, int fd, std::string_view filename);

} // namespace quillo
