#pragma once

#include <cstdint>
#include <string>

namespace velk::model {

// A plain copy of one update_package row; a NULL old_version reads as empty, a NULL
// download_time as 0.
class UpdatePackage {
  public:
    UpdatePackage() = default;
    virtual ~UpdatePackage() = default;
    UpdatePackage(const UpdatePackage&) = default;
    UpdatePackage& operator=(const UpdatePackage&) = default;
    UpdatePackage(UpdatePackage&&) = default;
    UpdatePackage& operator=(UpdatePackage&&) = default;

    void clear();

    int32_t id = 0;
    int32_t swUpdNo = 0;
    std::string packageName;
    std::string packageVersion;
    std::string packageUrl;
    int32_t targetFlag = 0;
    std::string oldVersion;
    int32_t downloadFlag = 0;
    int32_t downloadTime = 0;
};

}  // namespace velk::model
