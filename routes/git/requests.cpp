#include "requests.h"

#include "repo.h"

namespace quillo::git {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A form-encoded value ("+" is a space, as URLSearchParams writes it).
std::string form_decoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                   hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::string query(const Request& request, std::string_view name) {
    std::string_view rest = request.query_string;
    while (!rest.empty()) {
        std::string_view pair = rest.substr(0, rest.find('&'));
        rest = pair.size() < rest.size() ? rest.substr(pair.size() + 1) : std::string_view();
        std::string_view key = pair.substr(0, pair.find('='));
        if (form_decoded(key) == name) {
            return key.size() < pair.size() ? form_decoded(pair.substr(key.size() + 1)) : "";
        }
    }
    return {};
}

int query_number(const Request& request, std::string_view name, int fallback, int most) {
    std::string text = query(request, name);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 6) {
        return fallback;
    }
    return std::min(std::stoi(text), most);
}

nlohmann::json body_of(const Request& request) {
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object()) {
        throw GitProblem(400, "body", "Send a JSON object");
    }
    return body;
}

std::string text_field(const nlohmann::json& body, const char* key, bool required) {
    auto it = body.find(key);
    if (it == body.end() || !it->is_string() || (required && it->get<std::string>().empty())) {
        if (!required && (it == body.end() || it->is_null())) {
            return {};
        }
        throw GitProblem(400, "body", std::string("Give \"") + key + "\" as text");
    }
    return it->get<std::string>();
}

bool flag(const nlohmann::json& body, const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_boolean() && it->get<bool>();
}

std::vector<std::string> checked_paths(const nlohmann::json& body) {
    auto it = body.find("paths");
    if (it == body.end() || !it->is_array() || it->empty()) {
        throw GitProblem(400, "body", "Give \"paths\" (a list) or \"all\": true");
    }
    std::vector<std::string> paths;
    for (const nlohmann::json& path : *it) {
        if (!path.is_string()) {
            throw GitProblem(400, "body", "Each of \"paths\" is a text");
        }
        paths.push_back(checked_path(path.get<std::string>()));
    }
    return paths;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        end = end == std::string::npos ? text.size() : end;
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace quillo::git
