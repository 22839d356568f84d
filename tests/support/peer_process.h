#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tarvello::test {

// tarvello-peer running beside the test against a server on loopback. Its output goes
// to a file, so a chatty run never blocks on a full pipe; a peer still running when the
// object goes is killed and reaped.
class PeerProcess {
public:
    PeerProcess(uint16_t controlPort, uint16_t videoPort, const std::vector<std::string>& args) {
        char pattern[] = "/tmp/tarvello-peer-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir_ = pattern;
        std::vector<std::string> argv = {TARVELLO_PEER_PATH, "127.0.0.1",
                                         "--control-port",   std::to_string(controlPort),
                                         "--video-port",     std::to_string(videoPort),
                                         "--timeout",        "60"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        const std::string out = dir_ + "/out.txt";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawn(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }

    ~PeerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool started() const { return pid_ > 0 || status_ >= 0; }

    // Waits for the exit, at most `timeout` seconds (then kills it). True when it exited
    // by itself with status 0.
    bool wait(double timeout = 90) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (pid_ > 0) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                status_ = 128 + SIGKILL;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::ifstream f(dir_ + "/out.txt");
        std::stringstream s;
        s << f.rdbuf();
        output_ = s.str();
        return status_ == 0;
    }

    int status() const { return status_; }
    const std::string& output() const { return output_; }

    // The key=value fields of the output line starting with `tag ` ("summary", "latency").
    std::map<std::string, std::string> fields(const std::string& tag) const {
        std::map<std::string, std::string> out;
        std::istringstream lines(output_);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind(tag + " ", 0) != 0) continue;
            std::istringstream words(line.substr(tag.size() + 1));
            std::string kv;
            while (words >> kv) {
                const auto eq = kv.find('=');
                if (eq != std::string::npos) out[kv.substr(0, eq)] = kv.substr(eq + 1);
            }
        }
        return out;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string dir_;
    std::string output_;
};

}  // namespace tarvello::test
