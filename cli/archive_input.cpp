#include "cli/archive_input.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lzh/archive_search.h"
#include "platform/posix_names.h"

namespace nivo::cli {

namespace {

// A stream that cannot seek (a pipe), read once from front to back as the run goes. The run
// seeks forward over what it skips, and back by no more than its read-ahead: the last bytes
// read are kept in memory for that, and a seek forward reads and drops what it passes.
struct ForwardInput {
    static constexpr uint64_t kept = 4u << 20;  // more than the input buffer reads ahead
    int source = -1;         // the pipe
    bool ownSource = false;  // closed with the stream
    FILE* prefix = nullptr;  // bytes already taken from the pipe, read before it
    std::vector<uint8_t> ring = std::vector<uint8_t>(kept);
    uint64_t first = 0;      // the lowest offset the ring ever held
    uint64_t end = 0;        // bytes taken so far
    uint64_t pos = 0;

    // Takes up to n more bytes into the ring; 0 at the end of the input, -1 on an error.
    ssize_t pull(uint64_t n) {
        const uint64_t at = end % kept;
        n = std::min<uint64_t>({n, kept - at, 1u << 16});
        ssize_t got = 0;
        if (prefix) {
            got = static_cast<ssize_t>(std::fread(ring.data() + at, 1, n, prefix));
            if (got == 0 && std::ferror(prefix)) return -1;
            if (got == 0) {
                std::fclose(prefix);
                prefix = nullptr;
            }
        }
        if (!prefix) {
            do got = ::read(source, ring.data() + at, n);
            while (got < 0 && errno == EINTR);
        }
        if (got > 0) end += static_cast<uint64_t>(got);
        return got;
    }

    static ssize_t read(void* cookie, char* buf, size_t size) {
        auto& in = *static_cast<ForwardInput*>(cookie);
        while (in.pos >= in.end) {
            ssize_t got = in.pull(in.pos > in.end ? in.pos - in.end : size);
            if (got <= 0) return got;
        }
        const uint64_t at = in.pos % kept;
        const auto n = static_cast<size_t>(std::min<uint64_t>({size, in.end - in.pos, kept - at}));
        std::memcpy(buf, in.ring.data() + at, n);
        in.pos += n;
        return static_cast<ssize_t>(n);
    }

    static int seek(void* cookie, off64_t* offset, int whence) {
        auto& in = *static_cast<ForwardInput*>(cookie);
        const int64_t target = whence == SEEK_SET ? *offset
                               : whence == SEEK_CUR ? static_cast<int64_t>(in.pos) + *offset
                                                    : -1;
        const uint64_t lowest = std::max(in.first, in.end > kept ? in.end - kept : 0);
        if (target < 0 || static_cast<uint64_t>(target) < lowest) {
            errno = ESPIPE;
            return -1;
        }
        in.pos = static_cast<uint64_t>(target);
        *offset = target;
        return 0;
    }

    static int close(void* cookie) {
        auto* in = static_cast<ForwardInput*>(cookie);
        if (in->prefix) std::fclose(in->prefix);
        if (in->ownSource) ::close(in->source);
        delete in;
        return 0;
    }

    FILE* open() {
        return fopencookie(this, "rb", cookie_io_functions_t{read, nullptr, seek, close});
    }
};

// A temporary file in TMPDIR (else /tmp), gone once closed. Null with errno set.
FILE* temporaryFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/nivosfx-XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) return nullptr;
    ::unlink(name.c_str());
    FILE* f = fdopen(fd, "w+b");
    if (!f) ::close(fd);
    return f;
}

// Another maker's self-extracting file through a pipe: its archive must be looked for, and
// that needs the bytes before it and the first member's whole data. So much, up to a bound,
// is copied into TMPDIR and searched; the stream then goes on from there through the pipe.
// Returns the offset of the archive, or -1 (errno 0 when there is none).
constexpr uint64_t searchedBytes = 64u << 20;

long searchStream(ExtractionContext& context, ForwardInput& in, long* passedOver) {
    // What was read so far, the first few kilobytes, is all still in the ring.
    if (in.first != 0 || in.end > ForwardInput::kept) {
        errno = ESPIPE;
        return -1;
    }
    FILE* copy = temporaryFile();
    if (!copy) return -1;
    bool ended = false, written = std::fwrite(in.ring.data(), 1, in.end, copy) == in.end;
    for (in.pos = in.end; written && !ended && in.end < searchedBytes;) {
        const uint64_t at = in.end % ForwardInput::kept;
        ssize_t got = in.pull(searchedBytes - in.end);
        if (got < 0) written = false;
        ended = got == 0;
        if (got > 0) written = std::fwrite(in.ring.data() + at, 1, static_cast<size_t>(got), copy) == static_cast<size_t>(got);
    }
    FILE* stream = context.archiveFile;
    context.archiveFile = copy;
    const std::optional<FoundArchive> archive =
        written && std::fflush(copy) == 0 ? findArchive(context, 0) : std::nullopt;
    const long found = archive ? archive->offset : -1;
    if (archive && archive->passedOver) *passedOver = *archive->passedOver;
    const int e = written ? 0 : errno;
    context.archiveFile = stream;
    // What is left in the pipe follows the copy; the stream starts over a little before the
    // archive, as the C library seeks to a block's start and reads up to the offset asked for.
    const long start = found & ~long{0xFFFF};
    if (found < 0 || std::fseek(copy, start, SEEK_SET) != 0) {
        std::fclose(copy);
        errno = e;
        return -1;
    }
    if (in.prefix) std::fclose(in.prefix);
    in.prefix = copy;
    in.first = in.end = in.pos = static_cast<uint64_t>(start);
    return found;
}

// Whether the bytes at offset 2 look like a method identifier ("-l", two characters, "-"):
// then a header stands there, sound or damaged, and the file is not searched.
bool methodAt(FILE* f, long offset) {
    uint8_t id[5];
    return std::fseek(f, offset + 2, SEEK_SET) == 0 && std::fread(id, 1, 5, f) == 5 && hasMethodShape(id);
}

// The archive's end mark, a 0 byte at the end of the file: an empty archive. (An Amiga
// program begins with a 0 byte too.) orNothing: the end of the file will do as well.
bool endMarkAt(FILE* f, long offset, bool orNothing) {
    if (std::fseek(f, offset, SEEK_SET) != 0) return false;
    int c = std::fgetc(f);
    return (c == EOF && orNothing) || (c == 0 && std::fgetc(f) == EOF);
}

}  // namespace

bool openArchive(ExtractionContext& context, const std::string& path, SetupSettings& settings,
                 ArchiveOrigin* origin) {
    const bool standardInput = path == "-";
    const std::string shown = standardInput ? "(standard input)" : printableText(path);
    auto fail = [&](const char* reason) {
        std::fprintf(stderr, "nivosfx: %s: %s\n", shown.c_str(), reason);
        return false;
    };
    FILE* f = standardInput ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) return fail(std::strerror(errno));
    ArchiveOrigin found;
    ForwardInput* stream = nullptr;
    struct stat st {};
    if (fstat(fileno(f), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        stream = new ForwardInput;
        stream->source = standardInput ? STDIN_FILENO : ::dup(fileno(f));
        stream->ownSource = !standardInput;
        if (!standardInput) std::fclose(f);
        f = stream->open();
        found.streamed = true;
    }
    context.archiveFile = f;
    char magic[2] = {};
    size_t got = std::fread(magic, 1, 2, f);
    // A folder opens, but its first read fails: that is an unreadable file, not an empty archive.
    if (got < 2 && std::ferror(f)) return fail(std::strerror(errno));
    // Our own layout first: the settings block at the end of the program image, the archive
    // behind it. Else the file is a plain archive, or another maker's self-extracting file.
    bool settingsRead = false;
    long at = 0;
    if (got == 2 && magic[0] == 'M' && magic[1] == 'Z') {
        settingsRead = std::fseek(f, imageSize, SEEK_SET) == 0 && readSettingsBlock(context, settings);
        at = settingsRead ? std::ftell(f) : -1;
        found.kind = ArchiveOrigin::ownSelfExtracting;
    }
    if (at < 0 || !(methodAt(f, at) || endMarkAt(f, at, settingsRead))) {
        errno = 0;
        long passedOver = -1;
        long other = -1;
        if (stream) {
            other = searchStream(context, *stream, &passedOver);
        } else if (const std::optional<FoundArchive> archive = findArchive(context, 0)) {
            other = archive->offset;
            passedOver = archive->passedOver.value_or(-1);
        }
        if (other >= 0) {
            settings = SetupSettings{};
            found.kind = ArchiveOrigin::otherSelfExtracting;
            found.passedOver = passedOver;
            at = other;
        } else if (stream && errno) {
            return fail((std::string("cannot keep what the search for the archive needs: ") + std::strerror(errno)).c_str());
        } else if (!settingsRead && found.kind == ArchiveOrigin::ownSelfExtracting) {
            return fail("the settings block is cut short");
        } else {
            return fail("not an LZH archive");
        }
    }
    found.offset = at;
    if (origin) *origin = found;
    return std::fseek(f, at, SEEK_SET) == 0 || fail(std::strerror(errno));
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
