#include "platform/pasteboard/convert/RtfText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <iconv.h>

namespace vl::RtfText {

namespace {

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

std::string iconvName(int codePage) {
    switch (codePage) {
        case 10000:
            return "MACINTOSH";
        case 437:
            return "CP437";
        case 932:
            return "CP932";
        case 936:
            return "GBK";
        case 949:
            return "CP949";
        case 950:
            return "BIG5";
        default:
            return "CP" + std::to_string(codePage);
    }
}

// Code-page bytes to UTF-8; bytes the code page cannot map become U+FFFD.
void appendCodePage(std::string& out, const std::string& bytes, int codePage) {
    if (bytes.empty()) return;
    iconv_t converter = iconv_open("UTF-8", iconvName(codePage).c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) converter = iconv_open("UTF-8", "CP1252");
    std::string input = bytes;
    char* in = input.data();
    std::size_t inLeft = input.size();
    std::string buffer(bytes.size() * 4 + 4, '\0');
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t done = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), buffer.size() - outLeft);
        if (done == static_cast<std::size_t>(-1) && inLeft > 0) {
            appendUtf8(out, U'\uFFFD');
            ++in;
            --inLeft;
        }
    }
    iconv_close(converter);
}

// Destinations whose content is never shown.
bool hiddenDestination(std::string_view word) {
    static constexpr std::array<std::string_view, 36> words = {"fonttbl",
                                                               "colortbl",
                                                               "stylesheet",
                                                               "info",
                                                               "pict",
                                                               "header",
                                                               "headerl",
                                                               "headerr",
                                                               "headerf",
                                                               "footer",
                                                               "footerl",
                                                               "footerr",
                                                               "footerf",
                                                               "object",
                                                               "listtable",
                                                               "listoverridetable",
                                                               "rsidtbl",
                                                               "generator",
                                                               "xmlnstbl",
                                                               "themedata",
                                                               "colorschememapping",
                                                               "latentstyles",
                                                               "datastore",
                                                               "fldinst",
                                                               "filetbl",
                                                               "revtbl",
                                                               "pgdsctbl",
                                                               "mmathPr",
                                                               "pnseclvl",
                                                               "pntxtb",
                                                               "pntxta",
                                                               "footnote",
                                                               "annotation",
                                                               "atnid",
                                                               "atnauthor",
                                                               "bkmkstart"};
    for (auto hidden : words)
        if (word == hidden) return true;
    return word == "bkmkend" || word == "expandedcolortbl" || word == "nonshppict" ||
           word == "shpinst" || word == "operator" || word == "author" || word == "title";
}

// The text a control word stands for, if any.
std::optional<std::string_view> wordText(std::string_view word) {
    if (word == "par" || word == "line" || word == "sect" || word == "page") return "\n";
    if (word == "tab" || word == "cell" || word == "nestcell") return "\t";
    if (word == "emdash") return "\u2014";
    if (word == "endash") return "\u2013";
    if (word == "bullet") return "\u2022";
    if (word == "lquote") return "\u2018";
    if (word == "rquote") return "\u2019";
    if (word == "ldblquote") return "\u201C";
    if (word == "rdblquote") return "\u201D";
    if (word == "emspace" || word == "enspace" || word == "qmspace") return " ";
    return std::nullopt;
}

class Reader {
  public:
    explicit Reader(ByteView rtf) : text_(reinterpret_cast<const char*>(rtf.data()), rtf.size()) {}

    std::optional<std::string> read() {
        std::size_t start = 0;
        while (start < text_.size() && std::isspace(static_cast<unsigned char>(text_[start])))
            ++start;
        if (text_.substr(start, 5) != "{\\rtf") return std::nullopt;
        pos_ = start;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '{') {
                if (!open()) return std::nullopt;
            } else if (c == '}') {
                if (!close()) return std::nullopt;
                if (stack_.empty()) break;  // the document's group ended; trailing bytes ignored
            } else if (c == '\\') {
                control();
            } else if (c == '\r' || c == '\n') {
                // line breaks in the source are not text
            } else {
                character(static_cast<unsigned char>(c));
            }
        }
        if (!stack_.empty()) return std::nullopt;
        flush();
        return std::move(out_);
    }

  private:
    struct Group {
        bool hidden = false;
        int unicodeSkip = 1;  // \ucN: fallback characters after each \uN
    };

    bool open() {
        flush();
        if (static_cast<int>(stack_.size()) >= maxGroupDepth) return false;
        stack_.push_back(stack_.empty() ? Group{} : stack_.back());
        groupStart_ = true;
        skipFallback_ = 0;
        return true;
    }

    bool close() {
        flush();
        if (stack_.empty()) return false;
        stack_.pop_back();
        groupStart_ = false;
        skipFallback_ = 0;
        return true;
    }

    bool hidden() const { return stack_.empty() || stack_.back().hidden; }

    // One fallback character after \uN is consumed instead of shown.
    bool consumeFallback() {
        if (skipFallback_ == 0) return false;
        --skipFallback_;
        return true;
    }

    void character(unsigned char c) {
        groupStart_ = false;
        if (consumeFallback() || hidden()) return;
        if (c >= 0x80) {
            pending_ += static_cast<char>(c);
            return;
        }
        flush();
        out_ += static_cast<char>(c);
    }

    void emit(std::string_view text) {
        if (hidden()) return;
        flush();
        out_ += text;
    }

    void codePoint(char32_t c) {
        if (hidden()) return;
        flush();
        if (c >= 0xD800 && c <= 0xDBFF) {
            highSurrogate_ = c;
            return;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) {
            if (highSurrogate_)
                appendUtf8(out_, 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (c - 0xDC00));
            highSurrogate_ = 0;
            return;
        }
        highSurrogate_ = 0;
        appendUtf8(out_, c);
    }

    void flush() {
        if (pending_.empty()) return;
        appendCodePage(out_, pending_, codePage_);
        pending_.clear();
    }

    void control() {
        if (pos_ >= text_.size()) return;
        const char c = text_[pos_];
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            ++pos_;
            symbol(c);
            return;
        }
        const std::size_t wordStart = pos_;
        while (pos_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[pos_])) &&
               pos_ - wordStart < 32)
            ++pos_;
        const std::string_view word = text_.substr(wordStart, pos_ - wordStart);
        std::optional<long> parameter;
        if (pos_ < text_.size() &&
            (text_[pos_] == '-' || std::isdigit(static_cast<unsigned char>(text_[pos_])))) {
            const std::size_t numberStart = pos_;
            ++pos_;
            while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_])) &&
                   pos_ - numberStart < 11)
                ++pos_;
            parameter = std::strtol(
                std::string(text_.substr(numberStart, pos_ - numberStart)).c_str(), nullptr, 10);
        }
        if (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;  // the delimiter belongs to the word
        controlWord(word, parameter);
    }

    void symbol(char c) {
        if (c == '\'') {
            if (pos_ + 2 > text_.size()) return;
            const std::string hex(text_.substr(pos_, 2));
            pos_ += 2;
            groupStart_ = false;
            if (consumeFallback() || hidden()) return;
            char* end = nullptr;
            const long value = std::strtol(hex.c_str(), &end, 16);
            if (end != hex.c_str() + 2) return;
            pending_ += static_cast<char>(value);
            return;
        }
        if (c == '*') {
            if (groupStart_ && !stack_.empty()) stack_.back().hidden = true;
            return;
        }
        groupStart_ = false;
        if (consumeFallback()) return;
        switch (c) {
            case '\\':
            case '{':
            case '}':
                emit(std::string_view(&c, 1));
                break;
            case '~':
                emit("\u00A0");
                break;
            case '_':
                emit("\u2011");
                break;
            case '\n':
            case '\r':
                emit("\n");
                break;  // a backslash before a line break is \par
            case '\t':
                emit("\t");
                break;
            default:
                break;  // \- optional hyphen, \| and others show nothing
        }
    }

    void controlWord(std::string_view word, std::optional<long> parameter) {
        const bool atGroupStart = groupStart_;
        groupStart_ = false;
        if (word == "bin") {
            // Binary data: skipped whole, never text.
            const long count = std::max(0L, parameter.value_or(0));
            pos_ = std::min(text_.size(), pos_ + static_cast<std::size_t>(count));
            return;
        }
        if (consumeFallback()) return;
        if (stack_.empty()) return;
        if (atGroupStart && hiddenDestination(word)) {
            stack_.back().hidden = true;
            return;
        }
        if (word == "ansicpg" && parameter) {
            flush();
            codePage_ = static_cast<int>(*parameter);
        } else if (word == "mac") {
            codePage_ = 10000;
        } else if (word == "pc") {
            codePage_ = 437;
        } else if (word == "uc" && parameter) {
            stack_.back().unicodeSkip = static_cast<int>(std::clamp(*parameter, 0L, 8L));
        } else if (word == "u" && parameter) {
            long value = *parameter;
            if (value < 0) value += 65536;
            if (value >= 0 && value <= 0xFFFF) codePoint(static_cast<char32_t>(value));
            skipFallback_ = stack_.back().unicodeSkip;
        } else if (word == "row") {
            if (hidden()) return;
            flush();
            if (!out_.empty() && out_.back() == '\t') out_.pop_back();
            out_ += '\n';
        } else if (auto text = wordText(word)) {
            emit(*text);
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::vector<Group> stack_;
    bool groupStart_ = false;
    int skipFallback_ = 0;
    int codePage_ = 1252;
    char32_t highSurrogate_ = 0;
    std::string pending_;  // code-page bytes waiting to be decoded together
    std::string out_;
};

}  // namespace

std::optional<std::string> plainText(ByteView rtf) {
    return Reader(rtf).read();
}

}  // namespace vl::RtfText
