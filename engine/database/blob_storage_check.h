// A check of a file table's BLOB pages, for the database checker: every value that a
// record references lies within its pages and reads back (page list, sizes, and for
// compressed values every block's size and checksum); each value is referenced by exactly
// one record; every small-value page holds the bytes the BLOB index counts for it; and no
// BLOB page of the table belongs to no value. Each problem found is one line naming the
// table, the page and, where there is one, the record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dadoveri {

class TABSDiskTableData;

// Reads in `session` what that session sees; the table must be open.
void CheckBlobStorage(TABSDiskTableData& table, int32_t session, std::vector<std::string>& problems);
// The same in the session of the table's first open cursor ("Nil pointer occured", 10009,
// when no cursor has it open).
void CheckBlobStorage(TABSDiskTableData& table, std::vector<std::string>& problems);

}  // namespace dadoveri
