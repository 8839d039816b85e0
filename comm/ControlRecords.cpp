#include "comm/ControlRecords.h"

#include "base/Base64.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <type_traits>

namespace vl {

namespace {

using Json = nlohmann::json;         // what is read
using Out = nlohmann::ordered_json;  // what is written, keys in declaration order

// Strings that are not UTF-8 cannot come from a decoded record; should one be written anyway,
// its bad bytes become U+FFFD rather than an exception. Non-finite doubles are written as null.
std::string dump(const Out& value) {
    return value.dump(-1, ' ', false, Out::error_handler_t::replace);
}

std::optional<Json> parseObject(ByteView bytes) {
    Json value = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

const Json* member(const Json& object, const char* key) {
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

// An integer of type T: a JSON integer in range, or a JSON number with no fractional part.
template <class T>
bool readInteger(const Json& object, const char* key, T& out) {
    const Json* value = member(object, key);
    if (!value) return false;
    using Limits = std::numeric_limits<T>;
    if (value->is_number_unsigned()) {
        auto raw = value->get<std::uint64_t>();
        if (raw > static_cast<std::uint64_t>(Limits::max())) return false;
        out = static_cast<T>(raw);
        return true;
    }
    if (value->is_number_integer()) {  // negative
        auto raw = value->get<std::int64_t>();
        if (raw < static_cast<std::int64_t>(Limits::min())) return false;
        out = static_cast<T>(raw);
        return true;
    }
    if (value->is_number_float()) {
        double raw = value->get<double>();
        // Limits::max() + 1 is a power of two, exact as a double.
        if (!std::isfinite(raw) || raw != std::trunc(raw) ||
            raw < static_cast<double>(Limits::min()) ||
            raw >= static_cast<double>(Limits::max()) + 1.0)
            return false;
        out = static_cast<T>(raw);
        return true;
    }
    return false;
}

bool readDouble(const Json& object, const char* key, double& out) {
    const Json* value = member(object, key);
    if (!value || !value->is_number()) return false;
    out = value->get<double>();
    return std::isfinite(out);
}

bool readBool(const Json& object, const char* key, bool& out) {
    const Json* value = member(object, key);
    if (!value || !value->is_boolean()) return false;
    out = value->get<bool>();
    return true;
}

bool readString(const Json& object, const char* key, std::string& out) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) return false;
    out = value->get_ref<const std::string&>();
    return true;
}

// Absent or null gives nothing; any other non-string fails.
bool readOptionalString(const Json& object, const char* key, std::optional<std::string>& out) {
    const Json* value = member(object, key);
    if (!value || value->is_null()) {
        out.reset();
        return true;
    }
    if (!value->is_string()) return false;
    out = value->get_ref<const std::string&>();
    return true;
}

bool readBase64(const Json& object, const char* key, Bytes& out) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) return false;
    auto decoded = base64Decode(value->get_ref<const std::string&>());
    if (!decoded) return false;
    out = std::move(*decoded);
    return true;
}

template <class E>
bool readEnum(const Json& object, const char* key, std::optional<E> (*fromRaw)(std::int64_t),
              E& out) {
    std::uint8_t raw;
    if (!readInteger(object, key, raw)) return false;
    auto value = fromRaw(raw);
    if (!value) return false;
    out = *value;
    return true;
}

template <class E>
unsigned raw(E value) {
    return static_cast<unsigned>(value);
}

// A record decoder: parses, hands the object to `read`, and turns any surprise into nothing.
template <class T, class Read>
std::optional<T> decodeRecord(ByteView bytes, Read read) {
    try {
        auto object = parseObject(bytes);
        if (!object) return std::nullopt;
        T record;
        if (!read(*object, record)) return std::nullopt;
        return record;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

constexpr std::array<std::string_view, 5> sharedTypeNames = {"display", "stLeafDisplay", "stWindow",
                                                             "stRegion", "stUnknown"};

Out sharedTypeJson(const SharedType& type) {
    Out body = Out::object();
    std::visit(
        [&](const auto& value) {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, SharedType::Display> ||
                          std::is_same_v<Case, SharedType::LeafDisplay>) {
                body["displayID"] = value.displayID;
            } else if constexpr (std::is_same_v<Case, SharedType::Window>) {
                body["displayID"] = value.displayID;
                body["windowID"] = value.windowID;
                if (value.title) body["title"] = *value.title;
            } else if constexpr (std::is_same_v<Case, SharedType::Region>) {
                body["displayID"] = value.displayID;
                body["windowID"] = value.windowID;
                body["left"] = value.left;
                body["top"] = value.top;
                body["width"] = value.width;
                body["height"] = value.height;
            }
        },
        type.value);
    Out out = Out::object();
    out[std::string(type.description())] = std::move(body);
    return out;
}

std::optional<SharedType> readSharedType(const Json& value) {
    if (!value.is_object()) return std::nullopt;
    const Json* body = nullptr;
    std::size_t index = 0;
    for (std::size_t i = 0; i < sharedTypeNames.size(); ++i) {
        auto found = value.find(std::string(sharedTypeNames[i]));
        if (found == value.end()) continue;
        if (body) return std::nullopt;  // two case keys
        body = &*found;
        index = i;
    }
    if (!body || !body->is_object()) return std::nullopt;
    SharedType type;
    bool ok = false;
    switch (index) {
        case 0: {
            SharedType::Display c;
            ok = readInteger(*body, "displayID", c.displayID);
            type.value = c;
            break;
        }
        case 1: {
            SharedType::LeafDisplay c;
            ok = readInteger(*body, "displayID", c.displayID);
            type.value = c;
            break;
        }
        case 2: {
            SharedType::Window c;
            ok = readInteger(*body, "displayID", c.displayID) &&
                 readString(*body, "windowID", c.windowID) &&
                 readOptionalString(*body, "title", c.title);
            type.value = std::move(c);
            break;
        }
        case 3: {
            SharedType::Region c;
            ok = readInteger(*body, "displayID", c.displayID) &&
                 readString(*body, "windowID", c.windowID) && readInteger(*body, "left", c.left) &&
                 readInteger(*body, "top", c.top) && readInteger(*body, "width", c.width) &&
                 readInteger(*body, "height", c.height);
            type.value = std::move(c);
            break;
        }
        default:
            ok = true;
            type.value = SharedType::Unknown{};
    }
    if (!ok) return std::nullopt;
    return type;
}

// A record with the single field shareId.
template <class T>
std::string shareIdJson(const T& record) {
    Out out = Out::object();
    out["shareId"] = record.shareId;
    return dump(out);
}

template <class T>
std::optional<T> shareIdFromJson(ByteView bytes) {
    return decodeRecord<T>(bytes,
                           [](const Json& o, T& r) { return readString(o, "shareId", r.shareId); });
}

template <class E, std::size_t N>
std::optional<E> enumFromRaw(std::int64_t raw) {
    if (raw < 0 || raw >= static_cast<std::int64_t>(N)) return std::nullopt;
    return static_cast<E>(raw);
}

template <std::size_t N, class E>
std::string_view enumName(const std::array<std::string_view, N>& names, E value) {
    auto index = static_cast<std::size_t>(value);
    return index < N ? names[index] : std::string_view("unknown");
}

constexpr std::array<std::string_view, 3> mouseButtonNames = {"left", "right", "middle"};
constexpr std::array<std::string_view, 4> mouseEventKindNames = {"move", "down", "drag", "up"};
constexpr std::array<std::string_view, 2> scrollDirectionNames = {"up", "down"};
constexpr std::array<std::string_view, 5> zuPBTypesNames = {"text", "image", "rtf", "html", "file"};

}  // namespace

std::optional<MouseButton> mouseButtonFromRaw(std::int64_t raw) {
    return enumFromRaw<MouseButton, mouseButtonNames.size()>(raw);
}
std::optional<MouseEventKind> mouseEventKindFromRaw(std::int64_t raw) {
    return enumFromRaw<MouseEventKind, mouseEventKindNames.size()>(raw);
}
std::optional<ScrollDirection> scrollDirectionFromRaw(std::int64_t raw) {
    return enumFromRaw<ScrollDirection, scrollDirectionNames.size()>(raw);
}
std::optional<ZuPBTypes> zuPBTypesFromRaw(std::int64_t raw) {
    return enumFromRaw<ZuPBTypes, zuPBTypesNames.size()>(raw);
}

std::string_view description(MouseButton value) {
    return enumName(mouseButtonNames, value);
}
std::string_view description(MouseEventKind value) {
    return enumName(mouseEventKindNames, value);
}
std::string_view description(ScrollDirection value) {
    return enumName(scrollDirectionNames, value);
}
std::string_view description(ZuPBTypes value) {
    return enumName(zuPBTypesNames, value);
}

// SharedType

std::string_view SharedType::description() const {
    return sharedTypeNames[value.index()];
}

std::optional<std::uint32_t> SharedType::displayID() const {
    return std::visit(
        [](const auto& c) -> std::optional<std::uint32_t> {
            if constexpr (std::is_same_v<std::decay_t<decltype(c)>, Unknown>)
                return std::nullopt;
            else
                return c.displayID;
        },
        value);
}

std::string SharedType::toJson() const {
    return dump(sharedTypeJson(*this));
}

std::optional<SharedType> SharedType::fromJson(ByteView json) {
    return decodeRecord<SharedType>(json, [](const Json& o, SharedType& r) {
        auto type = readSharedType(o);
        if (type) r = std::move(*type);
        return type.has_value();
    });
}

// ConnectReq

std::string ConnectReq::toJson() const {
    Out out = Out::object();
    out["clientType"] = clientType;
    out["clientVersion"] = clientVersion;
    out["clientDeviceID"] = clientDeviceID;
    out["clientDeviceName"] = clientDeviceName;
    out["password"] = password;
    return dump(out);
}

std::optional<ConnectReq> ConnectReq::fromJson(ByteView json) {
    return decodeRecord<ConnectReq>(json, [](const Json& o, ConnectReq& r) {
        return readInteger(o, "clientType", r.clientType) &&
               readString(o, "clientVersion", r.clientVersion) &&
               readString(o, "clientDeviceID", r.clientDeviceID) &&
               readString(o, "clientDeviceName", r.clientDeviceName) &&
               readString(o, "password", r.password);
    });
}

// SharedItem

std::string SharedItem::toJson() const {
    Out out = Out::object();
    out["sharedType"] = sharedTypeJson(sharedType);
    out["sharedVideoPort"] = sharedVideoPort;
    out["sharedAudioPort"] = sharedAudioPort;
    out["sharedMicPort"] = sharedMicPort;
    out["sharedCamPort"] = sharedCamPort;
    out["left"] = left;
    out["top"] = top;
    out["width"] = width;
    out["height"] = height;
    out["fps"] = fps;
    out["hdr"] = hdr;
    out["serverIP"] = serverIP;
    out["sharedID"] = sharedID;
    out["title"] = title;
    return dump(out);
}

std::optional<SharedItem> SharedItem::fromJson(ByteView json) {
    return decodeRecord<SharedItem>(json, [](const Json& o, SharedItem& r) {
        const Json* type = member(o, "sharedType");
        auto sharedType = type ? readSharedType(*type) : std::nullopt;
        if (!sharedType) return false;
        r.sharedType = std::move(*sharedType);
        return readInteger(o, "sharedVideoPort", r.sharedVideoPort) &&
               readInteger(o, "sharedAudioPort", r.sharedAudioPort) &&
               readInteger(o, "sharedMicPort", r.sharedMicPort) &&
               readInteger(o, "sharedCamPort", r.sharedCamPort) && readInteger(o, "left", r.left) &&
               readInteger(o, "top", r.top) && readInteger(o, "width", r.width) &&
               readInteger(o, "height", r.height) && readInteger(o, "fps", r.fps) &&
               readBool(o, "hdr", r.hdr) && readString(o, "serverIP", r.serverIP) &&
               readString(o, "sharedID", r.sharedID) && readString(o, "title", r.title);
    });
}

// MouseEvent

std::string MouseEvent::toJson() const {
    Out out = Out::object();
    out["shareId"] = shareId;
    out["button"] = raw(button);
    out["kind"] = raw(kind);
    out["horzPosition"] = horzPosition;
    out["vertPosition"] = vertPosition;
    return dump(out);
}

std::optional<MouseEvent> MouseEvent::fromJson(ByteView json) {
    return decodeRecord<MouseEvent>(json, [](const Json& o, MouseEvent& r) {
        return readString(o, "shareId", r.shareId) &&
               readEnum(o, "button", mouseButtonFromRaw, r.button) &&
               readEnum(o, "kind", mouseEventKindFromRaw, r.kind) &&
               readDouble(o, "horzPosition", r.horzPosition) &&
               readDouble(o, "vertPosition", r.vertPosition);
    });
}

// MouseScroll

std::string MouseScroll::toJson() const {
    Out out = Out::object();
    out["shareId"] = shareId;
    out["horzPosition"] = horzPosition;
    out["vertPosition"] = vertPosition;
    out["direction"] = raw(direction);
    out["delta"] = delta;
    return dump(out);
}

std::optional<MouseScroll> MouseScroll::fromJson(ByteView json) {
    return decodeRecord<MouseScroll>(json, [](const Json& o, MouseScroll& r) {
        return readString(o, "shareId", r.shareId) &&
               readDouble(o, "horzPosition", r.horzPosition) &&
               readDouble(o, "vertPosition", r.vertPosition) &&
               readEnum(o, "direction", scrollDirectionFromRaw, r.direction) &&
               readDouble(o, "delta", r.delta);
    });
}

// KeyboardEvent

std::string KeyboardEvent::toJson() const {
    Out out = Out::object();
    out["shareId"] = shareId;
    out["keyCode"] = keyCode;
    out["characters"] = characters;
    out["modifierFlags"] = modifierFlags;
    out["isKeyDown"] = isKeyDown;
    return dump(out);
}

std::optional<KeyboardEvent> KeyboardEvent::fromJson(ByteView json) {
    return decodeRecord<KeyboardEvent>(json, [](const Json& o, KeyboardEvent& r) {
        return readString(o, "shareId", r.shareId) && readInteger(o, "keyCode", r.keyCode) &&
               readString(o, "characters", r.characters) &&
               readInteger(o, "modifierFlags", r.modifierFlags) &&
               readBool(o, "isKeyDown", r.isKeyDown);
    });
}

// ClipboardEvent

std::string ClipboardEvent::toJson() const {
    Out out = Out::object();
    out["shareId"] = shareId;
    out["type"] = raw(type);
    out["data"] = base64Encode(data);
    return dump(out);
}

std::optional<ClipboardEvent> ClipboardEvent::fromJson(ByteView json) {
    return decodeRecord<ClipboardEvent>(json, [](const Json& o, ClipboardEvent& r) {
        return readString(o, "shareId", r.shareId) &&
               readEnum(o, "type", zuPBTypesFromRaw, r.type) && readBase64(o, "data", r.data);
    });
}

// The one-field records

std::string LookAtInfo::toJson() const {
    return shareIdJson(*this);
}
std::optional<LookAtInfo> LookAtInfo::fromJson(ByteView json) {
    return shareIdFromJson<LookAtInfo>(json);
}

std::string JumpToDisplayInfo::toJson() const {
    return shareIdJson(*this);
}
std::optional<JumpToDisplayInfo> JumpToDisplayInfo::fromJson(ByteView json) {
    return shareIdFromJson<JumpToDisplayInfo>(json);
}

std::string ActiveWindowInfo::toJson() const {
    return shareIdJson(*this);
}
std::optional<ActiveWindowInfo> ActiveWindowInfo::fromJson(ByteView json) {
    return shareIdFromJson<ActiveWindowInfo>(json);
}

}  // namespace vl
