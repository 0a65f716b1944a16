// Reading the git routes' requests: query values, JSON bodies and their
// fields, each refused with a GitProblem that says what was missing; and
// turning a GitProblem into its JSON answer.
#pragma once

#include "git_command.h"

#include <nlohmann/json.hpp>
#include <quillo/blueprint.h>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::git {

// A query value, form-decoded ("+" is a space, as URLSearchParams writes it).
std::string query(const Request& request, std::string_view name);
// A whole number from the query, at most `most`; `fallback` when absent or not one.
int query_number(const Request& request, std::string_view name, int fallback, int most);

// The body, which must be a JSON object.
nlohmann::json body_of(const Request& request);
// A text field; one that is not `required` may be absent or null ("").
std::string text_field(const nlohmann::json& body, const char* key, bool required = true);
bool flag(const nlohmann::json& body, const char* key);
// "paths": repository-relative paths, each checked (repo.h).
std::vector<std::string> checked_paths(const nlohmann::json& body);

std::vector<std::string> split(const std::string& text, char separator);

// A handler whose GitProblems become {"error", "reason", ...} answers.
template <class Operation> Handler answering(Operation operation) {
    return [operation](Request& request) -> Response {
        try {
            return operation(request);
        } catch (const GitProblem& problem) {
            nlohmann::json body = problem.details;
            body["error"] = problem.what();
            body["reason"] = problem.reason;
            return json_response(body, problem.status);
        }
    };
}

} // namespace quillo::git
