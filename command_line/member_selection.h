// Choosing members by name: shell wildcards (*, ?, [...]) matched against the member names as
// nivosfx shows them, in UTF-8. A pattern that matches a folder takes everything inside it.
#pragma once

#include <string>
#include <vector>

namespace nivo::cli {

// Whether the shell wildcard pattern matches the name ("/" between folders) or a folder it lies
// in; "*" crosses "/", and a final "/" on either side is not looked at.
bool nameMatches(std::string pattern, std::string name);

class MemberSelection {
public:
    MemberSelection(std::vector<std::string> names, std::vector<std::string> excluded);

    // shownName: UTF-8, "/" between folders.
    bool includes(const std::string& shownName);

    // The names that matched no member, once every member has been seen.
    std::vector<std::string> unmatched() const;

private:
    std::vector<std::string> names, excluded;
    std::vector<bool> matched;
};

}  // namespace nivo::cli
