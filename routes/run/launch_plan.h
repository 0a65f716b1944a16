// What runs a workspace file: its interpreter, or its compiler and then the
// program built, chosen by the file's extension.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace quillo::run {

struct LaunchPlan {
    // Compiling, when the file is a C or C++ source; its messages are part
    // of the run's output, and a failed compile ends the run.
    std::vector<std::string> compile;
    std::vector<std::string> command;
};

// The file cannot be run: no known kind and no execute permission.
class NotRunnable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// `file` is an absolute path; `build_dir` is where a compiled program goes.
LaunchPlan plan_launch(const std::string& file, const std::vector<std::string>& args,
                       bool executable, const std::string& build_dir);

// The extensions plan_launch knows, lower case with their dot (".py"), so
// that a client offers Run only for files it would run.
std::vector<std::string> runnable_extensions();

// A line for the run's output when `program` of `command` is missing.
std::string missing_program_message(const std::string& program, const std::string& file);

} // namespace quillo::run
