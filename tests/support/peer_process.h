#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <concepts>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/eventually.h"

extern char** environ;

namespace tarvello::test {

// tarvello-peer running beside the test against a server on loopback. Its output goes
// to a file, so a chatty run never blocks on a full pipe; a peer still running when the
// object goes is killed and reaped. waitForLine() follows that file while the peer runs.
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
        if (liveFd_ >= 0) close(liveFd_);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool started() const { return pid_ > 0 || status_ >= 0; }

    // Waits for the exit, at most `timeout` seconds (then kills it). True when it exited
    // by itself with status 0.
    bool wait(double timeout = 90) {
        if (!eventually([this] { return !running(); }, timeout)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            status_ = 128 + SIGKILL;
        }
        std::ifstream f(dir_ + "/out.txt");
        std::stringstream s;
        s << f.rdbuf();
        output_ = s.str();
        return status_ == 0;
    }

    // The next line of output, after the last one this returned, that `match` accepts,
    // waited for while the peer runs; nullopt when the peer ends or `timeout` seconds
    // pass without it. Lines passed over are not offered again.
    template <std::predicate<const std::string&> Match>
    std::optional<std::string> waitForLine(Match match, double timeout = 30) {
        std::optional<std::string> found;
        eventually(
            [&] {
                // Whether it still ran before this read: a peer that has just ended has
                // all its output in the file, so one more read sees every line.
                const bool ended = !running();
                readLive();
                for (size_t end; !found && (end = live_.find('\n', cursor_)) != std::string::npos;) {
                    std::string line = live_.substr(cursor_, end - cursor_);
                    cursor_ = end + 1;
                    if (match(line)) found = std::move(line);
                }
                return found || ended;
            },
            timeout);
        return found;
    }
    std::optional<std::string> waitForLine(const std::string& line, double timeout = 30) {
        return waitForLine([&](const std::string& l) { return l == line; }, timeout);
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
    // Reaps the peer once it has exited.
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

    // Appends what the peer wrote since the last read.
    void readLive() {
        if (liveFd_ < 0 && !dir_.empty()) liveFd_ = open((dir_ + "/out.txt").c_str(), O_RDONLY | O_CLOEXEC);
        if (liveFd_ < 0) return;
        char buf[4096];
        for (ssize_t n; (n = read(liveFd_, buf, sizeof buf)) > 0;) live_.append(buf, size_t(n));
    }

    pid_t pid_ = -1;
    int status_ = -1;
    std::string dir_;
    std::string output_;
    int liveFd_ = -1;
    std::string live_;   // the output read so far while following it
    size_t cursor_ = 0;  // where the next waitForLine() looks from
};

}  // namespace tarvello::test
