#pragma once

#include <optional>

namespace tarvello::camera {

// Decides what the camera sends, from the reader state and the time of the last
// live picture: live pictures go out at once while someone reads; the placeholder
// goes out on the 30 Hz tick once no live picture came for more than 0.5 s. Times
// are seconds of a monotonic clock the caller passes in.
class OutputSchedule {
public:
    static constexpr double kLiveTimeout = 0.5;
    static constexpr double kTickInterval = 1.0 / 30.0;

    // The stream started or stopped streaming to at least one reader.
    // Returns true when the camera-in-use value changed.
    bool setStreaming(bool streaming);
    bool streaming() const { return streaming_; }

    // A live picture arrived; true when it should be sent (false: nobody reads, so it
    // is consumed and dropped).
    bool livePicture(double now);

    // On each tick: true when the placeholder should be sent now.
    bool placeholderDue(double now) const;

private:
    bool streaming_ = false;
    std::optional<double> lastSinkFrame_;
};

}  // namespace tarvello::camera
