#include "output_schedule.h"

namespace tarvello::camera {

bool OutputSchedule::setStreaming(bool streaming) {
    if (streaming == streaming_) return false;
    streaming_ = streaming;
    return true;
}

bool OutputSchedule::livePicture(double now) {
    if (!streaming_) return false;
    lastSinkFrame_ = now;
    return true;
}

bool OutputSchedule::placeholderDue(double now) const {
    if (!streaming_) return false;
    return !lastSinkFrame_ || now - *lastSinkFrame_ > kLiveTimeout;
}

}  // namespace tarvello::camera
