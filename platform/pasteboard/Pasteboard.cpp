#include "platform/pasteboard/Interface.h"

namespace vl {

std::string_view description(PasteboardType type) {
    switch (type) {
        case PasteboardType::png:
            return "png";
        case PasteboardType::tiff:
            return "tiff";
        case PasteboardType::rtf:
            return "rtf";
        case PasteboardType::html:
            return "html";
        case PasteboardType::string:
            return "string";
    }
    return "unknown";
}

}  // namespace vl
