#include "tools/existing_archive.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "lzh/archive_walker.h"

namespace nivo {

namespace {

struct Closer {
    FILE* file;
    ~Closer() { std::fclose(file); }
};

}  // namespace

bool readExistingArchive(const std::string& path, std::vector<ExistingMember>& members, std::string& error) {
    ArchiveSource source;
    FILE* f = source.archiveFile = std::fopen(path.c_str(), "rb");
    struct stat st {};
    if (!f || fstat(fileno(f), &st) != 0) {
        error = std::strerror(errno);
        if (f) std::fclose(f);
        return false;
    }
    const Closer closer{f};
    uint8_t start[7] = {};
    const size_t got = std::fread(start, 1, sizeof start, f);
    if (got >= 2 && start[0] == 'M' && start[1] == 'Z') {
        error = "is a self-extracting file; give its archive or use nivosfx to unpack it first";
        return false;
    }
    // A method identifier two bytes in ("-lh5-"), or the end mark alone: an archive.
    if (!(got == 7 && hasMethodShape(start + 2)) && !(got == 1 && start[0] == 0)) {
        error = "not an LZH archive";
        return false;
    }
    std::fseek(f, 0, SEEK_SET);
    ArchiveWalker walk(source);
    for (;;) {
        ExistingMember m;
        m.status = walk.next(m.header);
        m.start = static_cast<long>(walk.headerStart);
        if (m.status == HeaderStatus::end) return true;
        if (m.status == HeaderStatus::damaged || m.status == HeaderStatus::unknownLayout) {
            error = "damaged member header at offset " + std::to_string(m.start);
            return false;
        }
        if (walk.endsInside) {
            error = "cut short in the member at offset " + std::to_string(m.start);
            return false;
        }
        m.end = static_cast<long>(walk.dataStart + static_cast<platform::FileOffset>(m.header.compressedSize));
        members.push_back(m);
    }
}

bool copyBytes(FILE* in, long from, long to, FILE* out, std::string& error) {
    if (std::fseek(in, from, SEEK_SET) != 0) {
        error = std::strerror(errno);
        return false;
    }
    char block[1 << 16];
    for (long left = to - from; left > 0;) {
        const size_t want = left < long{sizeof block} ? static_cast<size_t>(left) : sizeof block;
        const size_t n = std::fread(block, 1, want, in);
        if (n == 0) {
            error = std::ferror(in) ? std::strerror(errno) : "cut short";
            return false;
        }
        if (std::fwrite(block, 1, n, out) != n) {
            error = std::strerror(errno);
            return false;
        }
        left -= static_cast<long>(n);
    }
    return true;
}

}  // namespace nivo
