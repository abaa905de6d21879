// The README's tables of status codes and messages say what the library
// does: the same messages with the same statuses, each once, and the same
// names and values of the status codes as the header.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "frame/frame.h"
#include "kelhash.h"

namespace {

std::string readme() {
    std::ifstream in(KELHASH_README, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The rows of the table that follows the line `title` in the text.
std::vector<std::string> table_after(const std::string &text, const std::string &title) {
    std::vector<std::string> rows;
    const std::size_t at = text.find("\n" + title + "\n");
    if (at == std::string::npos) return rows;
    std::istringstream in(text.substr(at + title.size() + 2));
    std::string line;
    bool started = false;
    while (std::getline(in, line)) {
        if (line.rfind("|", 0) != 0) {
            if (started) break;
            continue;
        }
        started = true;
        rows.push_back(line);
    }
    // Drop the header and the |---| line.
    if (rows.size() >= 2) rows.erase(rows.begin(), rows.begin() + 2);
    return rows;
}

TEST(Readme, MessagesTableIsTheLibrarysTable) {
    const std::string text = readme();
    ASSERT_FALSE(text.empty()) << "cannot read " << KELHASH_README;
    const auto rows = table_after(text, "Messages:");
    ASSERT_FALSE(rows.empty()) << "no Messages: table in the README";

    std::map<std::string, std::int32_t> documented;
    const std::regex row(R"(^\| `([^`]+)` \| (\d) \|)");
    for (const std::string &r : rows) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r, m, row)) << "unreadable row: " << r;
        EXPECT_TRUE(documented.emplace(m[1], std::stoi(m[2])).second)
            << "documented twice: " << m[1];
    }

    std::map<std::string, std::int32_t> library;
    for (int i = 0; i <= static_cast<int>(Failure::output_too_small); ++i) {
        const auto f = static_cast<Failure>(i);
        library.emplace(failure_message(f), failure_status(f));
    }
    EXPECT_EQ(documented, library);
}

TEST(Readme, StatusTableMatchesTheHeader) {
    const auto rows = table_after(readme(), "Status codes:");
    ASSERT_FALSE(rows.empty()) << "no Status codes: table in the README";
    std::map<std::string, int> documented;
    const std::regex row(R"(^\| (\d) \| `(KELHASH_\w+)` \|)");
    for (const std::string &r : rows) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r, m, row)) << "unreadable row: " << r;
        documented.emplace(m[2], std::stoi(m[1]));
    }
    const std::map<std::string, int> header = {
        {"KELHASH_OK", KELHASH_OK},
        {"KELHASH_ERR_IO", KELHASH_ERR_IO},
        {"KELHASH_ERR_TOO_SMALL", KELHASH_ERR_TOO_SMALL},
        {"KELHASH_ERR_INVALID_ARG", KELHASH_ERR_INVALID_ARG},
        {"KELHASH_ERR_INVALID_UTF8", KELHASH_ERR_INVALID_UTF8},
        {"KELHASH_ERR_NO_MEMORY", KELHASH_ERR_NO_MEMORY},
        {"KELHASH_ERR_BUFFER_TOO_SMALL", KELHASH_ERR_BUFFER_TOO_SMALL},
    };
    EXPECT_EQ(documented, header);
}

}  // namespace
