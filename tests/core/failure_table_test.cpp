// The one table of failure causes against what is built from it and what describes it: the C
// library's texts (which the Python module lists by calling cbmpcore_result_text from 0 until
// "Unknown error") and the result codes of docs/core-api.md.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "core/cbmpcore.h"
#include "core/failure_table.h"

namespace cbmp::core {
namespace {

// Every code of the C library, listed as a binding lists them: from 0 until "Unknown error".
TEST(FailureTable, TheCLibraryGivesEveryCodeItsTextAndStopsAfterTheLast) {
    std::size_t code = 0;
    for (; std::string(cbmpcore_result_text(static_cast<cbmpcore_result>(code))) != "Unknown error";
         ++code) {
        const FailureRow* row = RowOf(static_cast<cbmpcore_result>(code));
        ASSERT_NE(row, nullptr) << code;
        EXPECT_STREQ(cbmpcore_result_text(static_cast<cbmpcore_result>(code)), row->resultText);
    }
    EXPECT_EQ(code, kResultCount);
}

// Each row of the document's table: `NAME` | value | text.
std::map<std::string, std::pair<int, std::string>> DocumentedCodes() {
    std::ifstream in(CBMP_CORE_API_DOC);
    std::map<std::string, std::pair<int, std::string>> codes;
    const std::regex row(R"(^\| `(CBMPCORE_[A-Z_]+)` \| (\d+) \| ([^|]*[^| ]) +\|)");
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
        if (std::regex_search(line, match, row)) {
            codes[match[1]] = {std::stoi(match[2]), match[3]};
        }
    }
    return codes;
}

TEST(FailureTable, TheDocumentListsEveryCodeWithItsValueAndText) {
    const auto documented = DocumentedCodes();
    ASSERT_FALSE(documented.empty()) << "no result codes found in " << CBMP_CORE_API_DOC;
    std::size_t codes = 0;
    for (std::size_t code = 0; code < kResultCount; ++code) {
        const FailureRow* row = RowOf(static_cast<cbmpcore_result>(code));
        ASSERT_NE(row, nullptr);
        ++codes;
        const auto it = documented.find(row->resultName);
        ASSERT_NE(it, documented.end()) << row->resultName << " is missing from the document";
        EXPECT_EQ(it->second.first, static_cast<int>(code)) << row->resultName;
        EXPECT_EQ(it->second.second, row->resultText) << row->resultName;
    }
    EXPECT_EQ(documented.size(), codes) << "the document lists a code that the library lacks";
}

}  // namespace
}  // namespace cbmp::core
