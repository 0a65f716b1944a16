#include "launch_plan.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace quillo::run {

namespace {

std::string extension_of(const std::string& file) {
    size_t slash = file.rfind('/');
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash + 2)) {
        return {}; // no dot, or a leading one (".bashrc")
    }
    std::string extension = file.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

struct Interpreter {
    const char* extension;
    std::vector<std::string> command;
};

const std::array<Interpreter, 4>& interpreters() {
    static const std::array<Interpreter, 4> table{{
        {".py", {"python3", "-u"}}, // -u: output appears as it is printed
        {".js", {"node"}},
        {".mjs", {"node"}},
        {".sh", {"bash"}},
    }};
    return table;
}

std::vector<std::string> joined(std::vector<std::string> head, const std::string& file,
                                const std::vector<std::string>& args) {
    head.push_back(file);
    head.insert(head.end(), args.begin(), args.end());
    return head;
}

// Compiled first: the compiler with its options, then "-o <program> <file>".
const std::array<Interpreter, 3>& compilers() {
    static const std::array<Interpreter, 3> table{{
        {".c", {"cc"}},
        {".cpp", {"c++", "-std=c++20"}},
        {".cc", {"c++", "-std=c++20"}},
    }};
    return table;
}

} // namespace

std::vector<std::string> runnable_extensions() {
    std::vector<std::string> extensions;
    for (const Interpreter& interpreter : interpreters()) {
        extensions.emplace_back(interpreter.extension);
    }
    for (const Interpreter& compiler : compilers()) {
        extensions.emplace_back(compiler.extension);
    }
    return extensions;
}

LaunchPlan plan_launch(const std::string& file, const std::vector<std::string>& args,
                       bool executable, const std::string& build_dir) {
    std::string extension = extension_of(file);
    for (const Interpreter& interpreter : interpreters()) {
        if (extension == interpreter.extension) {
            return {{}, joined(interpreter.command, file, args)};
        }
    }
    std::string program = build_dir + "/program";
    for (const Interpreter& compiler : compilers()) {
        if (extension == compiler.extension) {
            std::vector<std::string> compile = compiler.command;
            compile.insert(compile.end(), {"-o", program, file});
            return {compile, joined({}, program, args)};
        }
    }
    if (executable) {
        return {{}, joined({}, file, args)};
    }
    throw NotRunnable("This file cannot be run: it is not a kind Quillo runs (.py .js .mjs .sh "
                      ".c .cpp .cc) and it is not executable");
}

std::string missing_program_message(const std::string& program, const std::string& file) {
    std::string name = file.substr(file.rfind('/') + 1);
    return "Cannot run " + name + ": " + program +
           " is not installed (it was not found on PATH).\n";
}

} // namespace quillo::run
