#include "command_line/member_selection.h"

#include <fnmatch.h>

namespace nivo::cli {

// A pattern that ends in "/", as the listing and tab completion show a folder, names that
// folder.
bool nameMatches(std::string pattern, std::string name) {
    while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
        if (fnmatch(pattern.c_str(), name.substr(0, slash).c_str(), 0) == 0) return true;
    return false;
}

MemberSelection::MemberSelection(std::vector<std::string> n, std::vector<std::string> x)
    : names(std::move(n)), excluded(std::move(x)), matched(names.size(), false) {}

bool MemberSelection::includes(const std::string& shownName) {
    bool in = names.empty();
    for (size_t i = 0; i < names.size(); ++i)
        if (nameMatches(names[i], shownName)) matched[i] = in = true;
    if (!in) return false;
    for (const std::string& x : excluded)
        if (nameMatches(x, shownName)) return false;
    return true;
}

std::vector<std::string> MemberSelection::unmatched() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < names.size(); ++i)
        if (!matched[i]) out.push_back(names[i]);
    return out;
}

}  // namespace nivo::cli
