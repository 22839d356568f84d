#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvello {

struct ProcessResult {
    int exitStatus = 0;  // 128 + the signal number when a signal ended it
    std::string output;  // standard output, read to its end
};

// Runs system tools. Blocking: never called on the main queue or the server queue.
class ProcessFacility {
public:
    virtual ~ProcessFacility() = default;
    // Runs `path` with `args` (not counting the program name), waits for it to end and
    // returns how it ended with its standard output; nothing when it could not be launched.
    // Standard input is empty; standard error is discarded.
    virtual std::optional<ProcessResult> run(const std::string& path,
                                             const std::vector<std::string>& args) = 0;
};

}  // namespace tarvello
