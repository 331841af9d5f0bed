#include "vel/devices/descriptor_file.h"

#include <cstdio>
#include <fstream>

namespace vel::dev {
namespace {

bool isSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool looksLikeHexText(std::span<const uint8_t> content) {
    bool inComment = false;
    for (uint8_t c : content) {
        if (inComment) {
            inComment = c != '\n';
            if (c == 0) {
                return false;
            }
        } else if (c == '#') {
            inComment = true;
        } else if (!isSpace(c) && (c < 0x20 || c > 0x7E)) {
            return false;
        }
    }
    return true;
}

std::string printable(uint8_t c) {
    char text[8];
    if (c >= 0x20 && c <= 0x7E) {
        std::snprintf(text, sizeof(text), "'%c'", c);
    } else {
        std::snprintf(text, sizeof(text), "0x%02X", c);
    }
    return text;
}

class HexParser {
  public:
    HexParser(std::span<const uint8_t> content, std::string_view name)
        : content_(content), name_(name) {}

    LoadResult parse() {
        Bytes bytes;
        while (pos_ < content_.size()) {
            const uint8_t c = content_[pos_];
            if (c == '#') {
                while (pos_ < content_.size() && content_[pos_] != '\n') {
                    advance();
                }
            } else if (isSpace(c)) {
                advance();
            } else {
                // A token: pairs of hex digits up to the next space or comment.
                const size_t start = pos_, line = line_, column = column_;
                size_t digits = 0;
                int high = 0;
                while (pos_ < content_.size() && !isSpace(content_[pos_]) &&
                       content_[pos_] != '#') {
                    const int v = hexValue(content_[pos_]);
                    if (v < 0) {
                        return error("bad hex digit " + printable(content_[pos_]));
                    }
                    if (digits++ % 2 == 0) {
                        high = v;
                    } else {
                        bytes.push_back(static_cast<uint8_t>(high << 4 | v));
                    }
                    advance();
                }
                if (digits % 2 != 0) {
                    return LoadError{std::string(name_), start, line, column,
                                     "odd number of hex digits (" + std::to_string(digits) +
                                         ") in a byte group"};
                }
            }
        }
        if (bytes.empty()) {
            return LoadError{std::string(name_), 0, 0, 0, "no descriptor bytes"};
        }
        return LoadedDescriptors{std::move(bytes), DescriptorFormat::HexText};
    }

  private:
    void advance() {
        if (content_[pos_] == '\n') {
            ++line_;
            column_ = 1;
        } else {
            ++column_;
        }
        ++pos_;
    }

    LoadError error(std::string message) const {
        return LoadError{std::string(name_), pos_, line_, column_, std::move(message)};
    }

    std::span<const uint8_t> content_;
    std::string_view name_;
    size_t pos_ = 0;
    size_t line_ = 1;
    size_t column_ = 1;
};

}  // namespace

std::string LoadError::describe() const {
    if (line == 0) {
        return file + ": " + message;
    }
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

LoadResult parseDescriptorData(std::span<const uint8_t> content, std::string_view name) {
    if (content.empty()) {
        return LoadError{std::string(name), 0, 0, 0, "empty file"};
    }
    if (content.size() > kMaxDescriptorFileSize) {
        return LoadError{
            std::string(name), 0, 0, 0,
            "file is larger than " + std::to_string(kMaxDescriptorFileSize) + " bytes"};
    }
    if (looksLikeHexText(content)) {
        return HexParser(content, name).parse();
    }
    return LoadedDescriptors{Bytes(content.begin(), content.end()), DescriptorFormat::Binary};
}

LoadResult loadDescriptorFile(const std::filesystem::path& path) {
    const std::string name = path.string();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return LoadError{name, 0, 0, 0, "cannot open the file"};
    }
    // Read one byte past the limit so that an oversized file is reported as such.
    Bytes content(kMaxDescriptorFileSize + 1);
    in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (in.bad()) {
        return LoadError{name, 0, 0, 0, "read error"};
    }
    content.resize(static_cast<size_t>(in.gcount()));
    return parseDescriptorData(content, name);
}

}  // namespace vel::dev
