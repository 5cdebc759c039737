#pragma once

#include <picojson.h>

#include <string>

namespace velk::ctl {

// Reads the agent's database for operators without disturbing the agent: a read-only
// connection under SQLite's own locking with a busy wait, never the agent's lock file.
class StatusReader {
  public:
    explicit StatusReader(std::string file);
    virtual ~StatusReader() = default;

    // Fills `status` with "updates", "reports_to_send" and "boot_times_unacknowledged";
    // false with `error` set when the database cannot be read.
    bool read(picojson::object& status, std::string& error) const;

    // Operator's word for an update_status value.
    static std::string statusWord(int64_t status);
    // The lines `velkctl status` prints for a status object.
    static std::string toText(const picojson::object& status);

  private:
    std::string databaseFile;
};

}  // namespace velk::ctl
