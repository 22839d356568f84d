#include "app/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "base/log.h"

namespace tarvello {

namespace {

class SignalWaiter {
public:
    static sigset_t set() {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGINT);
        sigaddset(&s, SIGTERM);
        sigaddset(&s, SIGHUP);
        return s;
    }

    // Before any other thread exists: threads inherit the mask, so only the waiter sees them.
    static void takeOver() {
        const sigset_t s = set();
        pthread_sigmask(SIG_BLOCK, &s, nullptr);
        signal(SIGPIPE, SIG_IGN);
        std::thread(&SignalWaiter::wait).detach();
    }

    static void onStop(std::function<void()> action) {
        std::lock_guard lock(mutex());
        action_() = std::move(action);
    }

private:
    static std::mutex& mutex() {
        static auto* m = new std::mutex;
        return *m;
    }
    static std::function<void()>& action_() {
        static auto* a = new std::function<void()>;
        return *a;
    }

    static const char* name(int sig) {
        switch (sig) {
            case SIGINT: return "SIGINT";
            case SIGTERM: return "SIGTERM";
            default: return "SIGHUP";
        }
    }

    [[noreturn]] static void exitNow(int sig, const char* why) {
        std::fprintf(stdout, "%s on %s: exiting now\n", why, name(sig));
        std::fflush(stdout);
        _exit(128 + sig);
    }

    static void wait() {
        const sigset_t s = set();
        bool stopping = false;
        for (;;) {
            int sig = 0;
            if (sigwait(&s, &sig) != 0) continue;
            std::function<void()> action;
            {
                std::lock_guard lock(mutex());
                action = action_();
            }
            if (stopping) exitNow(sig, "Already stopping");
            if (!action) exitNow(sig, "Not serving yet");
            stopping = true;
            log(std::string("Stopping on ") + name(sig));
            action();
        }
    }
};

}  // namespace

void StopSignals::takeOver() {
    SignalWaiter::takeOver();
}

void StopSignals::onStop(std::function<void()> action) {
    SignalWaiter::onStop(std::move(action));
}

}  // namespace tarvello
