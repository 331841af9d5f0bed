// What a simulated product says about itself: in string descriptors, AT responses and
// diagnostic answers.
#pragma once

#include <string>

namespace vel::dev {

struct ProductIdentity {
    std::string manufacturer;
    std::string model;
    std::string revision;
    std::string serialNumber;
};

}  // namespace vel::dev
