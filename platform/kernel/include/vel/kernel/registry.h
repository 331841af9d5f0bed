// The in-memory registry: keys addressed by full path ("\Registry\Machine\System\..."),
// case-insensitive, each with typed values. Saved to and loaded from a text file so that
// instance numbers survive a restart of the command line program.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vel::kernel {

struct RegValue {
    uint32_t type = 0;  // REG_SZ, REG_DWORD, ...
    std::vector<uint8_t> data;

    static RegValue dword(uint32_t value);
    static RegValue string(const std::u16string& value);  // REG_SZ, stored with a terminator
    std::optional<uint32_t> asDword() const;              // only for REG_DWORD of 4 bytes
    std::optional<std::u16string> asString() const;       // only for REG_SZ / REG_EXPAND_SZ
    bool operator==(const RegValue&) const = default;
};

// Well-known key paths.
namespace regpath {
inline const std::string kMachine = "\\Registry\\Machine";
inline const std::string kServices = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline const std::string kControl = "\\Registry\\Machine\\System\\CurrentControlSet\\Control";
inline const std::string kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline const std::string kClass = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
inline const std::string kDeviceMap = "\\Registry\\Machine\\Hardware\\DeviceMap";
std::string service(const std::string& driverName);        // kServices\<name>
std::string parameters(const std::string& driverName);     // kServices\<name>\Parameters
std::string hardwareKey(const std::string& instancePath);  // kEnum\<instance>\Device Parameters
std::string softwareKey(const std::string& classGuid, unsigned index);  // kClass\{guid}\0000
}  // namespace regpath

class Registry {
  public:
    Registry();
    ~Registry();

    // Keys. createKey makes missing parents too; deleteKey removes the subtree.
    void createKey(const std::string& path);
    bool keyExists(const std::string& path) const;
    bool deleteKey(const std::string& path);
    std::vector<std::string> subkeys(const std::string& path) const;  // names, sorted

    // Values. setValue creates the key when missing.
    void setValue(const std::string& path, const std::string& name, RegValue value);
    std::optional<RegValue> value(const std::string& path, const std::string& name) const;
    bool deleteValue(const std::string& path, const std::string& name);
    std::vector<std::string> valueNames(const std::string& path) const;  // sorted

    void setDword(const std::string& path, const std::string& name, uint32_t value);
    std::optional<uint32_t> dword(const std::string& path, const std::string& name) const;
    void setString(const std::string& path, const std::string& name, const std::u16string& value);
    std::optional<std::u16string> string(const std::string& path, const std::string& name) const;

    // Persistence: a line-oriented text format; load replaces the whole content. Both return
    // false (with a message in `error`) on an I/O or format error and leave the registry as it
    // was on a failed load.
    bool save(const std::string& file, std::string* error = nullptr) const;
    bool load(const std::string& file, std::string* error = nullptr);
    std::string serialize() const;
    bool deserialize(const std::string& text, std::string* error = nullptr);

    // Every key opened through the kernel or framework calls, with the access mask asked for,
    // so tests can check how drivers open keys. Kernel-mode callers are not refused any access
    // (as on Windows, where kernel-mode handles skip the access check).
    struct OpenRecord {
        std::string path;
        uint32_t access;
    };
    void noteOpen(const std::string& path, uint32_t access);
    std::vector<OpenRecord> opens() const;
    void clearOpens();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vel::kernel
