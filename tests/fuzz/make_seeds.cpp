// Writes the seed corpora of the fuzz targets from a folder of LZH archives:
//   OUT/header, OUT/extract  each archive, cut down to its members of at most 16 KB of data
//   OUT/decode               each compressed member as the decode target reads it
//   OUT/settings             settings blocks of several shapes, each followed by an end mark
// and, in OUT/header and OUT/extract, archives as other archivers write them: level 3, 64-bit
// sizes, Unix and Mac OS members, the short level-2 size, directories without a last separator.
// usage: fuzz_seeds CORPUS_DIR OUT_DIR
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "extract/extraction_context.h"
#include "lzh/archive_walker.h"
#include "lzh/member_header.h"
#include "lzh/settings_writer.h"
#include "tools/lzh_writer.h"

using namespace nivo;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t maxArchiveMember = 16384;
constexpr uint32_t maxDecodeInput = 16384;
constexpr uint32_t maxOriginal = 1u << 17;  // as the decode target caps it

int written = 0;

void writeSeed(const fs::path& dir, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / std::to_string(++written), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readRange(FILE* f, long at, size_t n) {
    Bytes b(n);
    std::fseek(f, at, SEEK_SET);
    b.resize(std::fread(b.data(), 1, n, f));
    return b;
}

void seedsFromArchive(const fs::path& file, const fs::path& out) {
    ExtractionContext context;
    context.archiveFile = std::fopen(file.c_str(), "rb");
    if (!context.archiveFile) return;
    Bytes archive;
    MemberHeader h;
    ArchiveWalker walk(context);
    while (walk.next(h) == HeaderStatus::member) {
        const long start = static_cast<long>(walk.headerStart);
        const long dataStart = static_cast<long>(walk.dataStart);
        const int index = methodIndex(h);
        if (h.compressedSize <= maxArchiveMember) {
            Bytes whole = readRange(context.archiveFile, start,
                                    static_cast<size_t>(dataStart - start) + h.compressedSize);
            archive.insert(archive.end(), whole.begin(), whole.end());
        }
        if (index >= 1 && index <= 9) {
            Bytes d = readRange(context.archiveFile, dataStart,
                                h.compressedSize < maxDecodeInput ? h.compressedSize : maxDecodeInput);
            uint32_t original = h.originalSize < maxOriginal ? static_cast<uint32_t>(h.originalSize) : maxOriginal;
            Bytes seed = {static_cast<uint8_t>(index - 1), static_cast<uint8_t>(original),
                          static_cast<uint8_t>(original >> 8), static_cast<uint8_t>(original >> 16)};
            seed.insert(seed.end(), d.begin(), d.end());
            writeSeed(out / "decode", seed);
        }
    }
    if (archive.empty()) return;
    archive.push_back(0);
    writeSeed(out / "header", archive);
    writeSeed(out / "extract", archive);
}

Bytes settingsBlock(const std::string& title, uint8_t programFiles, const std::string& destination,
                    const std::string& target, uint8_t startMenu, uint8_t desktop, uint8_t sendTo,
                    const std::string& open) {
    const nivo::SettingsFields fields{title, programFiles, destination, target, startMenu, desktop, sendTo, open};
    Bytes b;
    if (!nivo::appendSettingsBlock(b, &fields)) std::abort();
    b.push_back(0);  // the archive: its end mark alone
    return b;
}

void settingsSeeds(const fs::path& out) {
    const fs::path dir = out / "settings";
    writeSeed(dir, Bytes{0, 0});
    writeSeed(dir, settingsBlock("Setup", 1, "Tool", "tool.exe", 3, 1, 0, ""));
    writeSeed(dir, settingsBlock("", 0, "", "", 0, 0, 0, ""));
    writeSeed(dir, settingsBlock("\x83\x5c\x83\x74\x83\x67", 0, "D:\\Apps\\Tool", "bin\\tool.exe", 2, 3, 1,
                                 "readme.txt"));
    writeSeed(dir, settingsBlock(std::string(255, 'T'), 1, std::string(255, 'd'), std::string(255, 't'), 7, 7,
                                 7, std::string(255, 'o')));
    writeSeed(dir, settingsBlock("x", 0, "\\\\server\\share\\", "a\\b\\c.exe", 1, 2, 3, "c.exe"));
}

void otherArchiverSeeds(const fs::path& out) {
    const Bytes text(300, 'x');
    auto archive = [&](int level, auto change) {
        Bytes a;
        for (const char* name : {"dir/sub/one.txt", "two.txt", "folder/"}) {
            LzhMember m = name[std::strlen(name) - 1] == '/' ? folderMember(name, 1300000000, level)
                                                             : storedMember(name, text, 1300000000, level);
            change(m);
            appendMember(a, m);
        }
        appendEndMark(a);
        writeSeed(out / "header", a);
        writeSeed(out / "extract", a);
    };
    for (int level : {1, 2, 3}) {
        archive(level, [](LzhMember&) {});
        archive(level, [](LzhMember& m) {
            m.largeSizes = true;
            m.unixMode = 0100644;
            m.extended = {{0x51, std::string("\x01\x00\x02\x00", 4)}, {0x52, "staff"}, {0x53, "user"}, unixTimeHeader(1300000000)};
        });
        archive(level, [&](LzhMember& m) {
            m.os = 'm';
            if (m.method == "-lh0-") {
                m.data = macBinary("Note", text, Bytes(40, 'r'));
                m.originalSize = static_cast<uint32_t>(m.data.size());
            }
        });
    }
    archive(2, [](LzhMember& m) { m.shortLevel2Size = true; });
    archive(2, [](LzhMember& m) { m.directoryWithoutSeparator = true; });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS_DIR OUT_DIR\n");
        return 2;
    }
    const fs::path corpus = argv[1];
    const fs::path out = argv[2];
    settingsSeeds(out);
    otherArchiverSeeds(out);
    std::error_code ec;
    if (fs::is_directory(corpus, ec)) {
        for (const auto& e : fs::recursive_directory_iterator(corpus, ec)) {
            if (!e.is_regular_file()) continue;
            const std::string ext = e.path().extension().string();
            if (ext == ".json" || ext == ".md") continue;
            seedsFromArchive(e.path(), out);
        }
    } else {
        std::fprintf(stderr, "fuzz_seeds: no corpus at %s; only the settings seeds are made\n", argv[1]);
    }
    for (const char* t : {"header", "extract", "decode"}) fs::create_directories(out / t);
    std::printf("fuzz_seeds: %d seeds in %s\n", written, argv[2]);
    return 0;
}
