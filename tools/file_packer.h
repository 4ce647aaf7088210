// Packs files and folders from the file system into an LZH archive with level-2 headers: files
// stored or compressed with -lh5-, -lh6- or -lh7- (stored when that does not make them smaller), folders as folder entries followed by everything below them, in name order.
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
// methodIndex: 0 stores every file; 5, 6 or 7 compresses.
bool packPath(std::vector<uint8_t>& archive, const std::string& base, const std::string& rel,
              std::string& error, int methodIndex = 0);

// The method index of a method name the packer writes ("lh0", "lh5", "lh6", "lh7", with or
// without the dashes of "-lh5-"), or -1.
int packMethodIndex(const std::string& name);

}  // namespace nivo
