#include "model/UpdateInfo.h"

namespace velk::model {

void UpdateInfo::clear() { *this = UpdateInfo(); }

}  // namespace velk::model
