// The functions of quillo/services.h, which route modules call into the
// server for.
#include "app/send_file.h"
#include "quillo/services.h"
#include "utils/utils.h"

namespace quillo {

std::string workspace_dir() {
    return utils::settings().WORKSPACE;
}

std::string config_dir() {
    return utils::settings().CONFIG_DIR;
}

std::vector<std::string> listen_hosts() {
    std::vector<std::string> hosts;
    for (const utils::ListenAddress& address : utils::get_listen_addresses()) {
        hosts.push_back(address.host);
    }
    return hosts;
}

int server_port() {
    return utils::settings().PORT;
}

std::string content_type_for(std::string_view filename) {
    return app::content_type_for(filename);
}

Response send_open_file(const Request& request, int fd, std::string_view filename) {
    return app::send_open_file(request, fd, filename);
}

} // namespace quillo
