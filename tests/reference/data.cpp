// Hexadecimal text, reproducible bytes and the readers of the golden files.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "reference.h"

namespace kref {
namespace {

std::string hex(const std::uint8_t *bytes, std::size_t n, const char *digits) {
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

// The rows of a golden table: tab-separated columns, '#' lines skipped.
// The header comment is handed to the caller through header.
std::vector<std::vector<std::string>> read_table(const std::string &name, std::string *header) {
    const std::string path = golden_dir() + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (header != nullptr && header->empty()) *header = line;
            continue;
        }
        std::vector<std::string> cols;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            cols.push_back(line.substr(start, tab - start));
        cols.push_back(line.substr(start));
        rows.push_back(cols);
    }
    return rows;
}

}  // namespace

std::string hex_lower(const std::uint8_t *bytes, std::size_t n) {
    return hex(bytes, n, "0123456789abcdef");
}

std::string hex_upper(const std::uint8_t *bytes, std::size_t n) {
    return hex(bytes, n, "0123456789ABCDEF");
}

std::string hex16(std::uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

std::string to_upper(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(n);
    for (auto &b : out) b = static_cast<std::uint8_t>(rng() >> 56);
    return out;
}

std::string golden_dir() { return KELHASH_GOLDEN_DIR; }

std::vector<GoldenFile> golden_files() {
    std::vector<GoldenFile> files;
    for (const auto &r : read_table("files.tsv", nullptr)) {
        if (r.size() != 5) throw std::runtime_error("files.tsv: a row without 5 columns");
        files.push_back({r[0], golden_dir() + "/files/" + r[0], std::stoull(r[1]), r[2], r[3], r[4]});
    }
    if (files.empty()) throw std::runtime_error("files.tsv holds no file");
    return files;
}

std::string golden_fallback_name() {
    std::string header;
    read_table("files.tsv", &header);
    // "... shooter (fallback name NAME) ..."
    const std::string key = "fallback name ";
    const std::size_t at = header.find(key);
    const std::size_t end = at == std::string::npos ? at : header.find(')', at);
    if (end == std::string::npos || end == at + key.size())
        throw std::runtime_error("files.tsv names no fallback name in its header");
    return header.substr(at + key.size(), end - at - key.size());
}

std::vector<GoldenText> golden_texts() {
    std::vector<GoldenText> texts;
    for (const auto &r : read_table("stable.tsv", nullptr)) {
        if (r.size() != 2 || r[0].size() % 2 != 0)
            throw std::runtime_error("stable.tsv: a row that is not hex bytes and a value");
        std::string text;
        for (std::size_t i = 0; i < r[0].size(); i += 2)
            text.push_back(static_cast<char>(std::stoi(r[0].substr(i, 2), nullptr, 16)));
        texts.push_back({r[0], text, static_cast<std::int32_t>(std::stol(r[1]))});
    }
    if (texts.empty()) throw std::runtime_error("stable.tsv holds no text");
    return texts;
}

}  // namespace kref
