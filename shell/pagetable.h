#pragma once
// The fixed table of wizard steps. Rows name pages through accessors that
// read the form variables when the table is walked, so the table can be
// bound before any form exists.

#include <cstdint>
#include <span>

namespace vtrl {

class TWizardChildForm;

using PageRef = TWizardChildForm* (*)();

enum : std::uint8_t { fnCableReplacement = 1, fnSppServer = 2 };

struct PageStep {
    PageRef page = nullptr;
    PageRef previous = nullptr;  // null: no previous page
    PageRef next = nullptr;      // null: no next page
    std::uint8_t mask = 0;       // bit 0 Cable Replacement, bit 1 SPP Server
};

using PageTable = std::span<const PageStep>;

}  // namespace vtrl
