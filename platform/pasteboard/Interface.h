// platform/pasteboard: the general pasteboard — a change count, data for a type, a string, clear
// and set. Called from one queue at a time (a call may wait for another program); the change
// handler may be called on any thread.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

// The representations the clipboard moves.
enum class PasteboardType { png, tiff, rtf, html, string };

std::string_view description(PasteboardType type);

class Pasteboard {
  public:
    virtual ~Pasteboard() = default;

    // Advances with every change of the pasteboard's owner or content, ours included.
    virtual std::int64_t changeCount() = 0;
    // The bytes of one representation; none when the pasteboard holds no such type (or its owner
    // does not answer in time).
    virtual std::optional<Bytes> data(PasteboardType type) = 0;
    // The text representation as UTF-8.
    virtual std::optional<std::string> string() = 0;

    // Empties the pasteboard and makes this process its owner; the new change count.
    virtual std::int64_t clearContents() = 0;
    // Adds a representation to what this process owns; false when it could not be offered.
    virtual bool setData(ByteView data, PasteboardType type) = 0;
    virtual bool setString(std::string_view text) = 0;

    // Called, on any thread, soon after the change count advanced because someone else changed the
    // pasteboard, so a poll can follow at once. An empty handler stops the calls.
    virtual void setChangeHandler(std::function<void()> handler) = 0;
};

}  // namespace vl
