// Packs files and folders from the file system into an LZH archive as stored members with
// level-2 headers: folders as folder entries followed by everything below them, in name order.
// Names are stored in code page 932 with "/" between components; each member keeps its file's
// modification time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nivo {

// Appends the file or folder rel (taken relative to base, or as given when base is empty) to
// archive. False with a message in error when a file cannot be read or a name cannot be
// stored.
bool packPath(std::vector<uint8_t>& archive, const std::string& base, const std::string& rel,
              std::string& error);

}  // namespace nivo
