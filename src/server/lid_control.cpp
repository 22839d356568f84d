#include "server/lid_control.h"

#include <vector>

#include "app/log.h"

namespace tarvello {

namespace {
constexpr const char* kPmset = "/usr/bin/pmset";
constexpr const char* kOsascript = "/usr/bin/osascript";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSpace(line[i])) ++i;
        const size_t start = i;
        while (i < line.size() && !isSpace(line[i])) ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}
}  // namespace

bool pmsetSleepDisabled(std::string_view output) {
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string_view::npos) end = output.size();
        const auto w = words(output.substr(start, end - start));
        if (w.size() >= 2 && w[0] == "SleepDisabled" && w[1] == "1") return true;
        start = end + 1;
    }
    return false;
}

std::string lidAwakeScript(bool enabled) {
    return std::string("do shell script ") + "\"" + "/usr/bin/pmset -a disablesleep " +
           (enabled ? "1" : "0") + "\"" + " with administrator privileges " + "with prompt " + "\"" +
           "Tarvello wants to " +
           (enabled ? "keep the Mac awake with its lid closed"
                    : "let the Mac sleep again when its lid closes") +
           "." + "\"";
}

bool lidAwakeEnabled(ProcessFacility& processes) {
    auto r = processes.run(kPmset, {"-g"});
    return r && pmsetSleepDisabled(r->output);
}

bool setLidAwake(ProcessFacility& processes, bool enabled) {
    if (auto r = processes.run(kOsascript, {"-e", lidAwakeScript(enabled)}); r && r->exitStatus != 0) {
        log("Lid setting unchanged (cancelled)");
    }
    const bool state = lidAwakeEnabled(processes);
    log(state ? "The Mac stays awake with the lid closed" : "The Mac sleeps when the lid closes");
    return state;
}

}  // namespace tarvello
