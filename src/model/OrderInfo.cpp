#include "model/OrderInfo.h"

namespace velk::model {

void OrderInfo::clear() { *this = OrderInfo(); }

}  // namespace velk::model
