#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvello::test {

// Forked children that start their work together and report an exit code and a line of
// text. Children end with _exit, so nothing of the test runner runs twice; any child
// still running when the group goes away is killed and reaped.
class ChildProcesses {
public:
    ChildProcesses() {
        if (::pipe(gate_) != 0) throw std::runtime_error("pipe failed");
    }
    ~ChildProcesses() {
        closeGate();
        ::close(gate_[0]);
        for (auto& child : children_) {
            if (child.pid > 0) {
                ::kill(child.pid, SIGKILL);
                ::waitpid(child.pid, nullptr, 0);
            }
            if (child.output >= 0) ::close(child.output);
        }
    }
    ChildProcesses(const ChildProcesses&) = delete;
    ChildProcesses& operator=(const ChildProcesses&) = delete;

    // `work` runs once all children are started; what it writes to `say` comes back
    // from wait(), its return value is the exit code.
    void spawn(std::function<int(std::string& say)> work) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
        pid_t pid = ::fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            ::close(out[0]);
            ::close(gate_[1]);
            char byte;
            while (::read(gate_[0], &byte, 1) < 0 && errno == EINTR) {
            }
            std::string say;
            int code = 2;
            try {
                code = work(say);
            } catch (...) {
                code = 3;
            }
            for (size_t done = 0; done < say.size();) {
                ssize_t n = ::write(out[1], say.data() + done, say.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::_exit(code);
        }
        ::close(out[1]);
        children_.push_back({pid, out[0]});
    }

    // Lets every child begin at once.
    void start() { closeGate(); }

    struct Result {
        int exitCode = -1;  // -1: did not exit normally
        std::string said;
    };

    // Starts the children if not yet started and waits for all of them.
    std::vector<Result> wait() {
        start();
        std::vector<Result> results;
        for (auto& child : children_) {
            Result r;
            char buffer[256];
            for (ssize_t n; (n = ::read(child.output, buffer, sizeof buffer)) != 0;) {
                if (n < 0) break;
                r.said.append(buffer, static_cast<size_t>(n));
            }
            ::close(child.output);
            child.output = -1;
            int status = 0;
            if (::waitpid(child.pid, &status, 0) == child.pid && WIFEXITED(status))
                r.exitCode = WEXITSTATUS(status);
            child.pid = -1;
            results.push_back(std::move(r));
        }
        return results;
    }

private:
    struct Child {
        pid_t pid;
        int output;
    };

    void closeGate() {
        if (gate_[1] >= 0) ::close(gate_[1]);
        gate_[1] = -1;
    }

    int gate_[2] = {-1, -1};
    std::vector<Child> children_;
};

}  // namespace tarvello::test
