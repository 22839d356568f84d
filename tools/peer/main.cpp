#include <signal.h>

#include <cstdio>
#include <fstream>
#include <sstream>

extern "C" {
#include <libavutil/log.h>
}

#include "options.h"
#include "peer.h"

using namespace tarvello;
using namespace tarvello::peer;

namespace {

void onSignal(int) {
    Peer::requestStop();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ParsedOptions parsed = parseOptions(argc, argv);
    if (parsed.help) {
        std::fputs(usageText(), stdout);
        return exitOk;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "tarvello-peer: %s\nTry 'tarvello-peer --help'.\n", parsed.error.c_str());
        return exitUsage;
    }

    Script script;
    if (parsed.options.script) {
        std::ifstream in(*parsed.options.script, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "tarvello-peer: cannot read %s\n", parsed.options.script->c_str());
            return exitUsage;
        }
        std::stringstream text;
        text << in.rdbuf();
        script = parseScript(text.str());
        if (!script.error.empty()) {
            std::fprintf(stderr, "tarvello-peer: %s: %s\n", parsed.options.script->c_str(),
                         script.error.c_str());
            return exitUsage;
        }
    }

    // A damaged stream makes the decoder chatty; the peer reports losses itself.
    av_log_set_level(AV_LOG_FATAL);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Peer peer(std::move(parsed.options), std::move(script));
    return peer.run();
}
