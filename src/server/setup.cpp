#include "server/setup.h"

#include "app/auth.h"
#include "app/errors.h"
#include "app/frontend.h"
#include "app/host_check.h"
#include "app/request_guard.h"
#include "app/secret_key.h"
#include "utils/files.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <system_error>

namespace quillo::server {

namespace fs = std::filesystem;

namespace {

void remove_tree_quietly(const fs::path& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        fs::remove_all(path, ec);
    }
}

void mount_route_modules(app::Application& app, const std::map<std::string, RouteModule>& modules) {
    for (const RouteModuleSpec& spec : kRouteModules) {
        auto it = modules.find(spec.name);
        if (it != modules.end()) {
            app.register_blueprint(it->second.bp());
        }
    }
}

void resume_pending_task(const std::map<std::string, RouteModule>& modules, std::ostream& out) {
    try {
        auto it = modules.find("chat");
        if (it == modules.end()) {
            throw ModuleLoadError("the chat module is not loaded");
        }
        auto resume = reinterpret_cast<bool (*)()>(
            it->second.require_symbol("resume_pending_task_on_startup"));
        if (resume()) {
            out << "[STARTUP] Auto-resumed unfinished AI task after restart" << std::endl;
        }
    } catch (const std::exception& e) {
        out << "[STARTUP] Task resume check failed (non-fatal): " << e.what() << std::endl;
    }
}

// The warning about an existing configuration directory that the group or
// the world can write: whoever can write it can replace pwd.txt.
std::optional<std::string> config_dir_warning(const std::string& dir, mode_t mode) {
    if ((mode & (S_IWGRP | S_IWOTH)) == 0) {
        return std::nullopt;
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    return "  [WARN] Other users can write the configuration directory " + dir + " (mode " + octal +
           ") and replace pwd.txt in it; run: chmod go-w " + utils::shlex_quote(dir);
}

// A new directory is the owner's alone (so are the directories made on the
// way to it). An existing one is the user's choice and keeps its mode, but
// a warning says so when others may write it.
void prepare_config_dir(const std::string& dir, std::ostream& out) {
    bool created = false;
    try {
        created = utils::create_private_directories(dir);
    } catch (const std::system_error& e) {
        throw StartupError("Cannot create the configuration directory " + dir + ": " + e.what());
    }
    struct stat st {};
    if (!created && ::stat(dir.c_str(), &st) == 0) {
        if (std::optional<std::string> warning = config_dir_warning(dir, st.st_mode)) {
            out << *warning << std::endl;
        }
    }
    // A server killed while saving a secret leaves its temporary copy behind.
    for (const char* name : {"/pwd.txt", "/secret_key.txt"}) {
        utils::remove_abandoned_temporaries(dir + name);
    }
}

// pwd.txt, with the fingerprints that tie sessions to the password, and a
// warning on standard error when the file cannot be read.
std::shared_ptr<app::PasswordStore> open_password_store(const std::string& config_dir,
                                                        const std::string& secret_key) {
    return std::make_shared<app::PasswordStore>(
        config_dir + "/pwd.txt",
        [secret_key](const std::string& password) {
            return app::password_fingerprint(secret_key, password);
        },
        [](const std::string& message) { std::cerr << "[WARN] " << message << std::endl; });
}

void register_frontend(app::Application& app, const app::FrontendInfo& info) {
    app.route("/", {"GET"}, [info](Request&) { return app::index(info); });
    app.route("/<path:path>", {"GET", "POST", "PUT", "DELETE", "PATCH"}, [info](Request& request) {
        return app::static_files(info, request, request.view_args.at("path"));
    });
}

} // namespace

void remove_stale_caches(const std::string& executable_dir) {
    fs::path routes_dir = fs::path(executable_dir) / "routes";
    std::error_code ec;
    if (fs::is_directory(routes_dir, ec)) {
        for (fs::directory_iterator it(routes_dir, ec), end; !ec && it != end; it.increment(ec)) {
            remove_tree_quietly(it->path() / "__pycache__");
        }
    }
    remove_tree_quietly(fs::path(executable_dir) / "__pycache__");
}

std::map<std::string, RouteModule> load_route_modules(const std::string& routes_dir,
                                                      std::ostream& out) {
    std::map<std::string, RouteModule> modules;
    for (const RouteModuleSpec& spec : kRouteModules) {
        std::string path = routes_dir + "/" + spec.name + ".so";
        try {
            modules.emplace(spec.name, RouteModule::load(path));
        } catch (const ModuleLoadError& e) {
            if (spec.required) {
                throw StartupError("Failed to load route module " + std::string(spec.name) + ": " +
                                   e.what());
            }
            out << "[WARN] Failed to load " << spec.name << " module: " << e.what() << std::endl;
        }
    }
    return modules;
}

std::unique_ptr<ServerContext> build_application(const utils::Settings& settings,
                                                 const std::string& executable_dir,
                                                 std::ostream& out) {
    auto context = std::make_unique<ServerContext>();
    context->settings = settings;
    context->executable_dir = executable_dir;

    prepare_config_dir(settings.CONFIG_DIR, out);
    app::AppConfig config;
    config.static_folder = settings.SERVER_DIR + "/static";
    config.secret_key = app::load_or_create_secret_key(settings.CONFIG_DIR + "/secret_key.txt");
    config.session_cookie_name = app::session_cookie_name_for_port(settings.PORT);
    config.allowed_hosts = settings.ALLOWED_HOSTS;
    context->app = std::make_unique<app::Application>(config);
    app::Application& app = *context->app;

    app::register_error_handlers(app, std::cerr);
    fs::create_directories(settings.WORKSPACE);

    context->passwords = open_password_store(settings.CONFIG_DIR, config.secret_key);
    app::register_auth_routes(app, context->passwords, std::make_shared<app::LoginThrottle>());
    // The Host check comes first: a rebinding page must not reach even the
    // first-time password set-up; then no other site's page may change
    // anything, before the guard looks at the session.
    app.before_request([allowed = settings.ALLOWED_HOSTS](Request& request) {
        return app::check_host(request, allowed);
    });
    app.before_request([allowed = settings.ALLOWED_HOSTS](Request& request) {
        return app::check_origin(request, allowed);
    });
    app.before_request([passwords = context->passwords](Request& request) {
        return app::check_auth(request, *passwords);
    });
    app.trusted_sender([passwords = context->passwords](const Request& request) {
        return app::is_trusted(request, *passwords);
    });

    remove_stale_caches(executable_dir);
    context->modules = load_route_modules(executable_dir + "/routes", out);
    mount_route_modules(app, context->modules);
    resume_pending_task(context->modules, out);

    register_frontend(app, {config.static_folder, QUILLO_VERSION, executable_dir});
    app.freeze();
    return context;
}

} // namespace quillo::server
