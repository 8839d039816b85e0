// platform/localsocket: the Unix sockets between the server and the helper processes of the same
// user (the microphone host, the camera daemon). Each socket lives in a folder only its user can
// enter; both ends frame their own messages on top of these calls.
#pragma once

#include "base/Bytes.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vl::localsocket {

// Creates the socket's folder private to the user (0700), or refuses one that another user owns
// or that is no folder. An error text, or nothing when it is fit.
std::optional<std::string> preparePrivateFolder(const std::filesystem::path& folder);

// A non-blocking listening socket at `path`, in a private folder, open to this user only. A socket
// an earlier process left behind is replaced; one that a running process still answers on is not
// taken over. -1 (and why) on failure.
int listenAt(const std::filesystem::path& path, std::string* error);

// A connected socket, or -1 when nobody listens there (or, with `sameUserOnly`, when the listener
// runs as another user).
int connectTo(const std::filesystem::path& path, bool sameUserOnly);

// Whether the peer of a connected Unix socket runs as this user.
bool peerIsSameUser(int fd);

// Writes all of it; false when the peer is gone.
bool writeAll(int fd, ByteView bytes);

}  // namespace vl::localsocket
