#include "base/child_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace tarvello {

namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Runs in the forked child of a threaded parent: async-signal-safe calls only.
[[noreturn]] void execChild(const ChildSpec& spec, pid_t parent, char* const* argv, char* const* envp,
                            const char* output) {
    if (spec.ownProcessGroup) setsid();
    if (prctl(PR_SET_PDEATHSIG, spec.deathSignal) != 0 || getppid() != parent) _exit(127);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaction(sig, &dfl, nullptr);

    const int in = open("/dev/null", O_RDONLY);
    const int out = open(output, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || out < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    unsigned firstClosed = 3;
    if (spec.passFd >= 0) {
        if (spec.passFd == 3) {
            fcntl(3, F_SETFD, 0);
        } else {
            dup2(spec.passFd, 3);
        }
        firstClosed = 4;
    }
    close_range(firstClosed, ~0U, 0);
    execve(spec.path.c_str(), argv, envp);
    _exit(127);
}

}  // namespace

pid_t spawnChild(const ChildSpec& spec, std::string& error) {
    if (spec.path.empty() || spec.args.empty()) {
        error = "Nothing to start";
        return -1;
    }
    // Everything the child needs is built before fork: after it, no allocation.
    auto argv = pointers(spec.args);
    auto envp = pointers(spec.env);
    const std::string output = spec.outputPath.empty() ? "/dev/null" : spec.outputPath;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork failed: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) execChild(spec, parent, argv.data(), envp.data(), output.c_str());
    return pid;
}

bool childExited(pid_t pid) {
    if (pid <= 0) return true;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

void endChild(pid_t pid, int signal, double graceSeconds, bool group) {
    if (pid <= 0) return;
    const pid_t target = group ? -pid : pid;
    // The child may not have made its group yet: signal it directly too.
    if (group) kill(pid, signal);
    kill(target, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(graceSeconds);
    bool gone = childExited(pid);
    while (!gone && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        gone = childExited(pid);
    }
    if (!gone) {
        if (group) kill(pid, SIGKILL);
        kill(target, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // Whatever the group leader left behind goes with it.
    if (group) kill(target, SIGKILL);
}

std::string findOnPath(const std::string& name) {
    if (name.empty()) return {};
    auto executable = [](const std::string& p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos) return executable(name) ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        if (executable(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides,
                                         const std::vector<std::string>& removed) {
    auto key = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    auto dropped = [&](const std::string& k) {
        for (const auto& r : removed) {
            if (r == k) return true;
        }
        for (const auto& o : overrides) {
            if (key(o) == k) return true;
        }
        return false;
    };
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        if (!dropped(key(entry))) env.push_back(std::move(entry));
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    return env;
}

}  // namespace tarvello
