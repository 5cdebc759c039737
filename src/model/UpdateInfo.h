#pragma once

#include <cstdint>

namespace velk::model {

// A plain copy of one update_info row; times are seconds since the epoch, 0 = not set.
class UpdateInfo {
  public:
    UpdateInfo() = default;
    virtual ~UpdateInfo() = default;
    UpdateInfo(const UpdateInfo&) = default;
    UpdateInfo& operator=(const UpdateInfo&) = default;
    UpdateInfo(UpdateInfo&&) = default;
    UpdateInfo& operator=(UpdateInfo&&) = default;

    void clear();

    int32_t id = 0;
    int32_t orderInfoId = 0;
    int32_t swUpdNo = 0;
    int32_t updateStatus = 0;
    int32_t statusChangeTime = 0;
    int32_t downloadStartTime = 0;
    int32_t downloadEndTime = 0;
    int32_t updateStartTime = 0;
    int32_t updateEndTime = 0;
};

}  // namespace velk::model
