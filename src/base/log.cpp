#include "base/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

namespace tarvello {

namespace {

using Sink = std::function<void(const std::string&)>;

std::once_flag sinkOnce;
// Set once and never freed, so loggers on any thread can call it without a lock.
std::atomic<const Sink*> installedSink{nullptr};

std::once_flag timeZoneOnce;

// Listeners run under the lock so that once removeLogListener returns, the listener's
// owner may be destroyed. The count lets the common case skip the lock.
std::mutex listenersMutex;
// Never destroyed: threads may still log while static objects are torn down at exit.
std::vector<std::pair<int, Sink>>& listeners() {
    static auto* list = new std::vector<std::pair<int, Sink>>();
    return *list;
}
std::atomic<size_t> listenerCount{0};
int nextListenerId = 1;

std::string currentTimePrefix() {
    // localtime_r need not read TZ itself; load the zone once for the process.
    std::call_once(timeZoneOnce, [] { ::tzset(); });
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm tm{};
    ::localtime_r(&now.tv_sec, &tm);
    return formatLogTime(tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(now.tv_nsec / 1'000'000));
}

}  // namespace

std::string formatLogTime(int hour, int minute, int second, int millisecond) {
    // Clamped so the prefix keeps its width whatever it is given (a leap second is 60).
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", std::clamp(hour, 0, 23), std::clamp(minute, 0, 59),
                  std::clamp(second, 0, 60), std::clamp(millisecond, 0, 999));
    return buf;
}

void log(std::string_view text) {
    std::string line = currentTimePrefix();
    line += "  ";
    line += text;
    line += '\n';
    // One call per line: stdio locks the stream per call, so threads never split a line.
    std::fwrite(line.data(), 1, line.size(), stdout);
    line.pop_back();
    if (const Sink* sink = installedSink.load(std::memory_order_acquire)) (*sink)(line);
    if (listenerCount.load(std::memory_order_acquire) > 0) {
        std::lock_guard lock(listenersMutex);
        for (const auto& entry : listeners()) entry.second(line);
    }
}

void setLineBufferedStdout() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

void installLogSink(std::function<void(const std::string&)> sink) {
    std::call_once(sinkOnce, [&] {
        if (sink) installedSink.store(new Sink(std::move(sink)), std::memory_order_release);
    });
}

int addLogListener(std::function<void(const std::string&)> listener) {
    std::lock_guard lock(listenersMutex);
    int id = nextListenerId++;
    if (listener) listeners().emplace_back(id, std::move(listener));
    listenerCount.store(listeners().size(), std::memory_order_release);
    return id;
}

void removeLogListener(int id) {
    std::lock_guard lock(listenersMutex);
    std::erase_if(listeners(), [id](const auto& entry) { return entry.first == id; });
    listenerCount.store(listeners().size(), std::memory_order_release);
}

}  // namespace tarvello
