// The README's tables of status codes and messages say what the library
// does: the same messages with the same statuses, each once, and the same
// names and values of the status codes as the header.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// The cells of a table row "| a | b | ... |", trimmed.
std::vector<std::string> cells(const std::string &row) {
    std::vector<std::string> out;
    std::size_t at = row.find('|');
    while (at != std::string::npos) {
        const std::size_t next = row.find('|', at + 1);
        if (next == std::string::npos) break;
        std::string c = row.substr(at + 1, next - at - 1);
        const std::size_t b = c.find_first_not_of(' ');
        const std::size_t e = c.find_last_not_of(' ');
        out.push_back(b == std::string::npos ? "" : c.substr(b, e - b + 1));
        at = next;
    }
    return out;
}

// A cell written as `code`, without the backquotes; "" otherwise.
std::string code(const std::string &cell) {
    if (cell.size() < 2 || cell.front() != '`' || cell.back() != '`') return "";
    return cell.substr(1, cell.size() - 2);
}

TEST(Readme, MessagesTableIsTheLibrarysTable) {
    const std::string text = readme();
    ASSERT_FALSE(text.empty()) << "cannot read " << KELHASH_README;
    const auto rows = table_after(text, "Messages:");
    ASSERT_FALSE(rows.empty()) << "no Messages: table in the README";

    std::map<std::string, std::int32_t> documented;
    for (const std::string &r : rows) {
        const auto c = cells(r);
        ASSERT_TRUE(c.size() >= 2 && !code(c[0]).empty() && c[1].size() == 1)
            << "unreadable row: " << r;
        EXPECT_TRUE(documented.emplace(code(c[0]), std::stoi(c[1])).second)
            << "documented twice: " << c[0];
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
    for (const std::string &r : rows) {
        const auto c = cells(r);
        ASSERT_TRUE(c.size() >= 2 && c[0].size() == 1 && !code(c[1]).empty())
            << "unreadable row: " << r;
        documented.emplace(code(c[1]), std::stoi(c[0]));
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
