#include "cli/archive_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "archive/archive_search.h"
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

// Whether the bytes at offset 2 look like a method identifier ("-l", two characters, "-"):
// then a header stands there, sound or damaged, and the file is not searched.
bool methodAt(FILE* f, long offset) {
    uint8_t id[5];
    return std::fseek(f, offset + 2, SEEK_SET) == 0 && std::fread(id, 1, 5, f) == 5 && id[0] == '-' &&
           id[1] == 'l' && id[4] == '-';
}

// The end of the file, or a 0 byte at its end: an empty archive. (An Amiga program begins
// with a 0 byte too.)
bool emptyAt(FILE* f, long offset) {
    if (std::fseek(f, offset, SEEK_SET) != 0) return false;
    int c = std::fgetc(f);
    return c == EOF || (c == 0 && std::fgetc(f) == EOF);
}

}  // namespace

bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings,
                 ArchiveOrigin* origin) {
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
    size_t got = std::fread(magic, 1, 2, f);
    // A folder opens, but its first read fails: that is an unreadable file, not an empty archive.
    if (got < 2 && std::ferror(f)) {
        std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), std::strerror(errno));
        return false;
    }
    ArchiveOrigin found;
    // Our own layout first: the settings block at the end of the program image, the archive
    // behind it. Else the file is a plain archive, or another maker's self-extracting file.
    bool settingsRead = false;
    long at = 0;
    if (got == 2 && magic[0] == 'M' && magic[1] == 'Z') {
        settingsRead = std::fseek(f, imageSize, SEEK_SET) == 0 && readSettingsBlock(context, settings);
        at = settingsRead ? std::ftell(f) : -1;
        found.kind = ArchiveOrigin::ownSelfExtracting;
    }
    if (at < 0 || (!emptyAt(f, at) && !methodAt(f, at))) {
        long passedOver = -1;
        long other = findArchive(context, 0, &passedOver);
        if (other >= 0) {
            settings = SetupSettings{};
            found = {ArchiveOrigin::otherSelfExtracting, other, passedOver};
            at = other;
        } else if (!settingsRead && found.kind == ArchiveOrigin::ownSelfExtracting) {
            std::fprintf(stderr, "nivosfx: %s: the settings block is cut short\n", shown.c_str());
            return false;
        }
    }
    found.offset = at;
    if (origin) *origin = found;
    return std::fseek(f, at, SEEK_SET) == 0;
}

std::string originText(const ArchiveOrigin& origin) {
    const char* what = origin.kind == ArchiveOrigin::ownSelfExtracting ? "Nivo SFX self-extracting file"
                       : origin.kind == ArchiveOrigin::otherSelfExtracting
                           ? "Self-extracting file of another maker"
                           : nullptr;
    if (!what) return "";
    std::string text = std::string(what) + ", archive at offset " + std::to_string(origin.offset);
    if (origin.passedOver >= 0)
        text += " (the one that runs to the end of the file; passed over the one at offset " +
                std::to_string(origin.passedOver) + ")";
    return text;
}

}  // namespace nivo::cli
