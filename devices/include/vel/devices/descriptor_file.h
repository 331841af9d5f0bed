// Loads descriptor bytes from a file, in one of two forms told apart by content:
//   hex text: bytes as pairs of hex digits separated by white space (a run of pairs without
//     spaces is read pair by pair), `#` starts a comment that runs to the end of the line;
//   binary: the bytes themselves.
// A file is hex text when every byte outside comments is printable ASCII or white space; any
// other file is binary. Problems come back as a LoadError naming the file and the place; no
// input makes the loader throw or crash.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "vel/devices/descriptor_builder.h"

namespace vel::dev {

enum class DescriptorFormat { HexText, Binary };

struct LoadedDescriptors {
    Bytes bytes;
    DescriptorFormat format = DescriptorFormat::Binary;
};

struct LoadError {
    std::string file;
    std::size_t offset = 0;  // byte offset in the file
    std::size_t line = 0;    // 1-based for hex text; 0 when the problem has no place
    std::size_t column = 0;  // 1-based
    std::string message;

    // "file:line:column: message" or "file: message".
    std::string describe() const;
};

class LoadResult {
  public:
    LoadResult(LoadedDescriptors value) : result_(std::move(value)) {}
    LoadResult(LoadError error) : result_(std::move(error)) {}

    bool ok() const { return std::holds_alternative<LoadedDescriptors>(result_); }
    const LoadedDescriptors& value() const { return std::get<LoadedDescriptors>(result_); }
    const LoadError& error() const { return std::get<LoadError>(result_); }

  private:
    std::variant<LoadedDescriptors, LoadError> result_;
};

// Files larger than this are refused: no descriptor set comes near it.
inline constexpr std::size_t kMaxDescriptorFileSize = 1 << 20;

// `name` is only used in errors.
LoadResult parseDescriptorData(std::span<const uint8_t> content, std::string_view name);
LoadResult loadDescriptorFile(const std::filesystem::path& path);

}  // namespace vel::dev
