#include "cli/archive_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix_names.h"

namespace nivo::cli {

bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings) {
    const std::string shown = printableText(path);
    context.archiveFile = std::fopen(path.c_str(), "rb");
    if (!context.archiveFile) {
        std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), std::strerror(errno));
        return false;
    }
    char magic[2] = {};
    size_t got = std::fread(magic, 1, 2, context.archiveFile);
    // A folder opens, but its first read fails: that is an unreadable file, not an empty archive.
    if (got < 2 && std::ferror(context.archiveFile)) {
        std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), std::strerror(errno));
        return false;
    }
    if (got == 2 && magic[0] == 'M' && magic[1] == 'Z') {
        if (std::fseek(context.archiveFile, imageSize, SEEK_SET) != 0 || !readSettingsBlock(context, settings)) {
            std::fprintf(stderr, "nivosfx: %s: the settings block is cut short\n", shown.c_str());
            return false;
        }
        return true;
    }
    return std::fseek(context.archiveFile, 0, SEEK_SET) == 0;
}

}  // namespace nivo::cli
