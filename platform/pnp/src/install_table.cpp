#include "install_table.h"

#include <algorithm>
#include <cctype>

namespace vel::pnp {

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

void InstallTable::add(DriverPackage package) {
    std::lock_guard lock(mutex_);
    packages_.push_back(std::move(package));
}

std::optional<DriverPackage> InstallTable::match(const std::vector<std::string>& deviceIds) const {
    std::lock_guard lock(mutex_);
    for (const std::string& id : deviceIds) {
        for (const DriverPackage& package : packages_) {
            if (std::any_of(package.ids.begin(), package.ids.end(), [&](const std::string& listed) {
                    return equalIgnoringCase(listed, id);
                })) {
                return package;
            }
        }
    }
    return std::nullopt;
}

}  // namespace vel::pnp
