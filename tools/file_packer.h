// Packs files and folders from the file system into an LZH archive with level-2 headers: files
// stored or compressed with -lh5-, -lh6- or -lh7- (stored when that does not make them smaller), folders as folder entries followed by everything below them, in name order.
// Names are stored in code page 932 with "/" between components; each member keeps its file's
// modification time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/archive_builder.h"

namespace nivo {

// Adds the file or folder rel (taken relative to base, or as given when base is empty) to
// archive. False with a message in error when a file cannot be read or a name cannot be
// stored.
bool packPath(ArchiveBuilder& archive, const std::string& base, const std::string& rel,
              std::string& error);

// The compression level of an option -1 (fastest) to -9 (smallest), or 0 for another
// argument.
int packLevelOption(const std::string& arg);

// The thread count of a --threads value, 1 to 1024, or 0 when it is not one.
unsigned packThreadsOption(const std::string& value);

// The lines of --help that describe -m, the levels, --threads and the memory the packing
// takes; both tools print them. tool is the program's name, indent the width of the option
// column.
std::string packOptionsHelp(const std::string& tool);

// The method index of a method name the packer writes ("lh0", "lh5", "lh6", "lh7", with or
// without the dashes of "-lh5-"), or -1.
int packMethodIndex(const std::string& name);

}  // namespace nivo
