#include <vector>

#include "request/addrs.h"

namespace {

bool digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The hex groups between colons as words; an IPv4 address may end the last
// part (tail) and counts as two.
bool wordsread(const std::string& s, bool tail, std::vector<std::uint16_t>* out) {
    if (s.empty()) return true;
    for (std::size_t from = 0;;) {
        std::size_t upto = s.find(':', from);
        std::string group = s.substr(from, upto == std::string::npos ? std::string::npos : upto - from);
        std::uint8_t quad[4];
        if (upto == std::string::npos && tail && group.find('.') != std::string::npos) {
            if (!fourread(group, quad)) return false;
            out->push_back(std::uint16_t(quad[0] << 8 | quad[1]));
            out->push_back(std::uint16_t(quad[2] << 8 | quad[3]));
            return true;
        }
        if (group.empty() || group.size() > 4 || group.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        out->push_back(std::uint16_t(std::stoul(group, nullptr, 16)));
        if (upto == std::string::npos) return true;
        from = upto + 1;
    }
}

}  // namespace

bool fourread(const std::string& s, std::uint8_t quad[4]) {
    int parts = 0;
    for (std::size_t from = 0;;) {
        std::size_t upto = s.find('.', from);
        std::string octet = s.substr(from, upto == std::string::npos ? std::string::npos : upto - from);
        if (parts == 4 || !digits(octet) || octet.size() > 3 || std::stoi(octet) > 255) return false;
        quad[parts++] = std::uint8_t(std::stoi(octet));
        if (upto == std::string::npos) return parts == 4;
        from = upto + 1;
    }
}

bool sixread(const std::string& s, std::uint8_t six[16]) {
    std::vector<std::uint16_t> words, right;
    std::size_t pair = s.find("::");
    if (pair == std::string::npos) {
        if (!wordsread(s, true, &words) || words.size() != 8) return false;
    } else {
        if (s.find("::", pair + 1) != std::string::npos || !wordsread(s.substr(0, pair), false, &words) ||
            !wordsread(s.substr(pair + 2), true, &right) || words.size() + right.size() > 7)
            return false;
        words.resize(8 - right.size(), 0);
        words.insert(words.end(), right.begin(), right.end());
    }
    for (int k = 0; k < 8; ++k) six[2 * k] = std::uint8_t(words[k] >> 8), six[2 * k + 1] = std::uint8_t(words[k]);
    return true;
}
