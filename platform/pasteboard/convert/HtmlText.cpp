#include "platform/pasteboard/convert/HtmlText.h"

#include <array>
#include <cstring>
#include <string_view>

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

namespace vl::HtmlText {

namespace {

// Deeper elements than this are not walked (the parser itself stops far earlier).
constexpr int maxDepth = 1024;

bool isOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    for (auto candidate : names)
        if (name == candidate) return true;
    return false;
}

bool invisible(std::string_view name) {
    return isOneOf(name, {"head", "script", "style", "title", "template", "noscript", "object",
                          "iframe", "svg", "math"});
}

bool block(std::string_view name) {
    return isOneOf(
        name,
        {"p",       "div",        "h1",     "h2",      "h3",     "h4",         "h5",   "h6",
         "ul",      "ol",         "li",     "table",   "tr",     "blockquote", "pre",  "section",
         "article", "header",     "footer", "nav",     "aside",  "dl",         "dt",   "dd",
         "figure",  "figcaption", "hr",     "address", "form",   "fieldset",   "main", "caption",
         "thead",   "tbody",      "tfoot",  "details", "summary"});
}

class Writer {
  public:
    void walk(xmlNode* node, int depth, bool preformatted) {
        for (; node; node = node->next) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
                text(reinterpret_cast<const char*>(node->content), preformatted);
                continue;
            }
            if (node->type != XML_ELEMENT_NODE) continue;
            const std::string_view name =
                node->name ? reinterpret_cast<const char*>(node->name) : "";
            if (invisible(name)) continue;
            if (name == "br") {
                lineBreak();
                continue;
            }
            const bool isCell = name == "td" || name == "th";
            if (isCell && cellsInRow_ > 0) {
                trimTrailingSpace();
                out_ += '\t';
                pendingSpace_ = false;
            }
            if (block(name)) endLine();
            if (depth < maxDepth) walk(node->children, depth + 1, preformatted || name == "pre");
            if (block(name)) endLine();
            if (name == "tr") cellsInRow_ = 0;
            if (isCell) ++cellsInRow_;
        }
    }

    std::string finish() {
        while (!out_.empty() && (out_.back() == '\n' || out_.back() == ' ')) out_.pop_back();
        return std::move(out_);
    }

  private:
    void text(const char* content, bool preformatted) {
        if (!content) return;
        if (preformatted) {
            out_ += content;
            pendingSpace_ = false;
            return;
        }
        for (const char* p = content; *p; ++p) {
            const char c = *p;
            if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f') {
                pendingSpace_ = true;
                continue;
            }
            if (pendingSpace_ && !out_.empty() && out_.back() != '\n' && out_.back() != '\t')
                out_ += ' ';
            pendingSpace_ = false;
            out_ += c;
        }
    }

    void trimTrailingSpace() {
        while (!out_.empty() && out_.back() == ' ') out_.pop_back();
    }

    void lineBreak() {
        trimTrailingSpace();
        out_ += '\n';
        pendingSpace_ = false;
    }

    // Ends the current line unless it is already ended (or nothing was written yet).
    void endLine() {
        trimTrailingSpace();
        if (!out_.empty() && out_.back() != '\n') out_ += '\n';
        pendingSpace_ = false;
    }

    std::string out_;
    bool pendingSpace_ = false;
    int cellsInRow_ = 0;
};

// UTF-16 with a byte order mark (some programs put it on the clipboard) is read as such.
const char* encodingOf(ByteView html) {
    if (html.size() >= 2 && html[0] == 0xff && html[1] == 0xfe) return "UTF-16LE";
    if (html.size() >= 2 && html[0] == 0xfe && html[1] == 0xff) return "UTF-16BE";
    return "UTF-8";
}

}  // namespace

std::optional<std::string> plainText(ByteView html) {
    if (html.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
    const int options =
        HTML_PARSE_RECOVER | HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING;
    htmlDocPtr document =
        htmlReadMemory(reinterpret_cast<const char*>(html.data()), static_cast<int>(html.size()),
                       nullptr, encodingOf(html), options);
    if (!document) return std::nullopt;
    Writer writer;
    writer.walk(xmlDocGetRootElement(document), 0, false);
    xmlFreeDoc(document);
    return writer.finish();
}

}  // namespace vl::HtmlText
