// The installation table: which driver package serves a device, by its IDs.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vel/pnp/pnp_manager.h"

namespace vel::pnp {

class InstallTable {
  public:
    void add(DriverPackage package);
    // The package of the first of `deviceIds` (in the device's order) that a package lists.
    std::optional<DriverPackage> match(const std::vector<std::string>& deviceIds) const;

  private:
    mutable std::mutex mutex_;
    std::vector<DriverPackage> packages_;  // in the order added
};

bool equalIgnoringCase(const std::string& a, const std::string& b);

}  // namespace vel::pnp
