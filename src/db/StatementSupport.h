#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>

#include "db/DbRecovery.h"

// Row and step helpers shared by the statement files of DbController.
namespace velk::db::detail {

inline const char* successText(bool ok) { return ok ? "success" : "failed"; }

inline int stepStmt(sqlite3_stmt* stmt) {
    int rc = stmt == nullptr ? SQLITE_MISUSE : sqlite3_step(stmt);
    DbRecovery::noteResult(rc);
    return rc;
}

// A NULL column cannot become a text; reading one is an error of the row, not an empty value.
inline std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (text == nullptr) {
        throw std::logic_error("column " + std::to_string(column) + " is NULL");
    }
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

}  // namespace velk::db::detail
