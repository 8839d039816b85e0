#include "platform/accessibility/Interface.h"

namespace vl {

std::string_view description(ElementRole role) {
    switch (role) {
        case ElementRole::other:
            return "other";
        case ElementRole::valueIndicator:
            return "valueIndicator";
        case ElementRole::scrollBar:
            return "scrollBar";
        case ElementRole::splitter:
            return "splitter";
        case ElementRole::splitGroup:
            return "splitGroup";
        case ElementRole::table:
            return "table";
        case ElementRole::outline:
            return "outline";
        case ElementRole::browser:
            return "browser";
        case ElementRole::textArea:
            return "textArea";
        case ElementRole::textField:
            return "textField";
        case ElementRole::staticText:
            return "staticText";
        case ElementRole::opaqueProviderGroup:
            return "opaqueProviderGroup";
    }
    return "unknown";
}

}  // namespace vl
