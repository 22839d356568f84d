#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>

// Who may feed the camera: only a process of the user the extension runs as. The
// socket's directory already keeps others out; this holds even if it is misplaced.
namespace tarvello::camera {

// The connected peer's uid as the kernel recorded it at connect time.
inline std::optional<uid_t> peerUid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return std::nullopt;
    return cred.uid;
}

inline bool mayFeed(std::optional<uid_t> peer, uid_t self) {
    return peer && *peer == self;
}

}  // namespace tarvello::camera
