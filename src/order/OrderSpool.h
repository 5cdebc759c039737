#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velk::order {

// Keeps each poll answer that may hold orders on disk, beside the database, from the moment it
// arrives until its orders are committed: the service hands an order out once, so a crash, a
// lock held too long or a failed commit must not lose it. Main thread only.
class OrderSpool {
  public:
    explicit OrderSpool(std::string directory);

    // Cheap test without parsing: an order item names "sw_update", unless escapes hide it.
    static bool mayHoldOrders(const std::string& answer);

    // Writes the answer and syncs file and folder; the name it is kept under, empty on failure.
    std::string keep(const std::string& answer);
    // Names of the kept answers, oldest first.
    std::vector<std::string> pending();
    bool read(const std::string& name, std::string& answer) const;
    // Removes a kept answer for good (folder synced).
    bool remove(const std::string& name);

  private:
    bool _syncDirectory() const;

    std::string dir;
    uint64_t nextSequence = 1;
};

}  // namespace velk::order
