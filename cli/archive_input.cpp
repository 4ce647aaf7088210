#include "cli/archive_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "platform/posix_names.h"

namespace nivo::cli {

namespace {

// A pipe cannot seek, and the run seeks from member to member: its bytes are read once, from
// front to back, into an unnamed temporary file. Returns that file, or null with errno set.
FILE* spool(FILE* in) {
    FILE* copy = std::tmpfile();
    if (!copy) return nullptr;
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        if (std::fwrite(block, 1, n, copy) != n) break;
    if (std::ferror(in) || std::ferror(copy) || std::fflush(copy) != 0 || std::fseek(copy, 0, SEEK_SET) != 0) {
        int e = errno;
        std::fclose(copy);
        errno = e;
        return nullptr;
    }
    return copy;
}

}  // namespace

bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings) {
    const bool standardInput = path == "-";
    const std::string shown = standardInput ? "(standard input)" : printableText(path);
    FILE* f = standardInput ? stdin : std::fopen(path.c_str(), "rb");
    struct stat st {};
    if (f && fstat(fileno(f), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        FILE* copy = spool(f);
        int e = errno;
        if (!standardInput) std::fclose(f);
        errno = e;
        f = copy;
    }
    context.archiveFile = f;
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
