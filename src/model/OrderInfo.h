#pragma once

#include <cstdint>
#include <string>

namespace velk::model {

// A plain copy of one order_info row; times are seconds since the epoch, 0 = not set.
class OrderInfo {
  public:
    OrderInfo() = default;
    virtual ~OrderInfo() = default;
    OrderInfo(const OrderInfo&) = default;
    OrderInfo& operator=(const OrderInfo&) = default;
    OrderInfo(OrderInfo&&) = default;
    OrderInfo& operator=(OrderInfo&&) = default;

    void clear();

    int32_t id = 0;
    std::string receiveJson;
    int32_t orderKind = 0;
    int32_t orderTime = 0;
    int32_t orderStatus = 0;
    std::string responseJson;
};

}  // namespace velk::model
