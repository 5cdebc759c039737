#pragma once

#include <ostream>
#include <string>

#include "order/OrderSignature.h"

namespace velk::ctl {

// What the install step checks right before dpkg reads the files: the order beside the package
// list (LIST.order) is signed as the policy demands, every list line is a package of that
// order, and every file the order gives a digest for still hashes to it. Keys and policy come
// from the caller, never from the files checked.
class ListVerifier {
  public:
    ListVerifier(order::SignaturePolicy policy, std::string keysDirectory, std::string substrateCode);

    // 0 when everything holds; 1 refused, with a line "verify: refused : REASON"; 2 the list
    // cannot be read. One line per package on `out`.
    int verify(const std::string& packageDir, const std::string& listFile, std::ostream& out) const;

  private:
    order::OrderSignature signature;
};

}  // namespace velk::ctl
