#include "model/UpdatePackage.h"

namespace velk::model {

void UpdatePackage::clear() { *this = UpdatePackage(); }

}  // namespace velk::model
