#pragma once

#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

namespace tarvello {

struct ChildSpec {
    std::string path;               // absolute path of the executable
    std::vector<std::string> args;  // argv, argv[0] included
    std::vector<std::string> env;   // the child's whole environment, "KEY=value"
    // Sent to the child when the thread that spawned it ends (the kernel ties the parent
    // death signal to the spawning thread, so spawn from a thread that lives as long as
    // the process: the main queue).
    int deathSignal = SIGTERM;
    // The child leads a new session and process group, so endChild can reach its descendants.
    bool ownProcessGroup = false;
    std::string outputPath;  // standard output and error are appended here; /dev/null when empty
    int passFd = -1;         // handed to the child as descriptor 3; every other descriptor above 2 is closed
};

// Starts the child with default signal handling and an empty signal mask (the server
// blocks SIGINT and SIGTERM in its own threads). Returns its pid, or -1 with the reason.
pid_t spawnChild(const ChildSpec& spec, std::string& error);

// Sends `signal` (to the child's process group when `group`), waits up to `graceSeconds`
// for it to exit, then kills it; always reaps the child. No-op for pid <= 0.
void endChild(pid_t pid, int signal, double graceSeconds, bool group);

// Reaps the child if it has exited; true when it is gone.
bool childExited(pid_t pid);

// The path of the executable `name` on PATH, or empty.
std::string findOnPath(const std::string& name);

// This process's environment with `overrides` ("KEY=value") replacing or adding
// entries and the keys in `removed` taken out.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides,
                                         const std::vector<std::string>& removed = {});

}  // namespace tarvello
