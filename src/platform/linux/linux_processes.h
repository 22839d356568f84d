#pragma once

#include "platform/processes.h"

namespace tarvello {

// Runs tools with posix_spawn, standard output through a pipe. Safe from any thread.
class LinuxProcesses final : public ProcessFacility {
public:
    std::optional<ProcessResult> run(const std::string& path, const std::vector<std::string>& args) override;
};

}  // namespace tarvello
