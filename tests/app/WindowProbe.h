#pragma once

// What the main window's tests share: the test data they open the window on, and the list row
// of a tag.

#include <cstdlib>
#include <string>

#include "app/ConfigNVDS.h"

namespace nvds::test {

/// A file of the window tests' data (tests/data/app).
inline std::string AppData(const std::string& name) {
    const char* root = std::getenv("NVDS_TEST_DATA");
    return std::string(root != nullptr ? root : "tests/data") + "/app/" + name;
}

/// The list row that shows `tag`, or -1.
inline int TagRow(const CConfigNVDS& window, int tag) {
    for (int row = 0; row < window.m_list->rowCount(); ++row) {
        if (window.CellText(row, COL_TAG).toInt() == tag) {
            return row;
        }
    }
    return -1;
}

}  // namespace nvds::test
