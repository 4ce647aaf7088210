// nivo_bench: decode throughput of the LZH decoders, against zlib's inflate measured in the same
// run on the same text.
//
//   nivo_bench [--runs N] [--cpu] [--text-mb N] [--member-mb N] [--portable] [--no-like] [ARCHIVE...]
//
// It gathers text files of this machine in a fixed order (licences, package copyright files
// and *.txt documents, C headers) until it has --text-mb MiB (default 32), packs the text with
// our compressor as -lh5- and -lh7- in members of --member-mb MiB (default 4), and deflates the
// same members with zlib. Each decoder then turns all members into bytes in memory, counted
// and thrown away, --runs times (default 7); the best run gives MB/s of output (10^6 bytes per
// second), and the spread shows how noisy the machine was. The like-with-like table then packs
// the same members on each side at comparable levels, and with the Java LHA tool, and gives our
// MB/s over libdeflate's row by row, for the bytes and for the literals and matches each side
// decodes. Members of the archives named on the command line are decoded the same way, each
// repeated until a run of it takes long enough to time, and reported per method. See bench/README.md.
#include <sys/resource.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lzh/archive_walker.h"
#include "lzh/member_header.h"
#include "lzh/method_facts.h"
#include "common/crc16.h"
#include "decode/member_decoder.h"
#include "decode/methods.h"
#include "tools/lzh_encoder.h"
#include "extract/extraction_context.h"

namespace {

namespace fs = std::filesystem;

// Wall-clock time, or with --cpu the thread's own CPU time, which a busy shared machine
// disturbs less.
bool cpuClock = false;

struct Clock {
    using time_point = double;
    static double now() {
        timespec t{};
        clock_gettime(cpuClock ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
};

double secondsSince(Clock::time_point start) {
    return Clock::now() - start;
}

double mbPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

double percent(uint64_t part, uint64_t whole) {
    return 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

// Counts what it is given, as a decoder's output goes nowhere.
class CountingSink final : public nivo::OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        (void)data;
        bytes += count;
        return true;
    }
    uint64_t bytes = 0;
};

// Text files under the roots, in byte order of their paths, symbolic links left out so that
// no file counts twice.
std::vector<fs::path> textFiles() {
    struct Root {
        const char* dir;
        bool (*wanted)(const fs::path&);
    };
    const Root roots[] = {
        {"/usr/share/common-licenses", [](const fs::path&) { return true; }},
        {"/usr/share/doc",
         [](const fs::path& p) { return p.filename() == "copyright" || p.extension() == ".txt"; }},
        {"/usr/include", [](const fs::path& p) { return p.extension() == ".h"; }},
    };
    std::vector<fs::path> all;
    for (const Root& root : roots) {
        std::vector<fs::path> found;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(root.dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code sec;
            if (it->is_symlink(sec) || !it->is_regular_file(sec)) continue;
            if (root.wanted(it->path())) found.push_back(it->path());
        }
        std::sort(found.begin(), found.end());
        all.insert(all.end(), found.begin(), found.end());
    }
    return all;
}

std::vector<uint8_t> gatherText(size_t target, size_t& filesUsed, bool& repeated) {
    std::vector<uint8_t> text;
    text.reserve(target);
    filesUsed = 0;
    for (const fs::path& p : textFiles()) {
        if (text.size() >= target) break;
        std::ifstream in(p, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.empty()) continue;
        text.insert(text.end(), bytes.begin(), bytes.end());
        ++filesUsed;
    }
    repeated = false;
    if (text.empty()) return text;
    while (text.size() < target) {
        // Not enough text on this machine: the text repeats, far beyond any window.
        repeated = true;
        size_t n = std::min(text.size(), target - text.size());
        text.insert(text.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    }
    text.resize(target);
    return text;
}

// The two references, beside the LZH method indexes.
constexpr int zlibCodec = -1;
constexpr int libdeflateCodec = -2;

// One member to decode: its packed bytes and what they must give.
struct Packed {
    int method;  // method index; zlibCodec or libdeflateCodec for the references
    std::vector<uint8_t> data;
    uint32_t originalSize;
    uint16_t crc;
    bool hasCrc;
};

// Decodes one member into a counting sink; false when it does not decode to its size and CRC.
bool decodeOnce(const Packed& p) {
    CountingSink sink;
    nivo::DecodeResult r = nivo::decodeMemberData(p.data.data(), static_cast<uint32_t>(p.data.size()),
                                                  p.method, p.originalSize, sink);
    return r.status == nivo::DecodeStatus::complete && sink.bytes == p.originalSize &&
           (!p.hasCrc || r.crc == p.crc);
}

// zlib's inflate into a 64 KiB window of output that is reused, as our dictionary is.
bool inflateOnce(const Packed& p) {
    static uint8_t out[65536];
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(p.data.data());
    z.avail_in = static_cast<uInt>(p.data.size());
    uint64_t total = 0;
    int rc;
    do {
        z.next_out = out;
        z.avail_out = sizeof out;
        rc = inflate(&z, Z_NO_FLUSH);
        total += sizeof out - z.avail_out;
    } while (rc == Z_OK);
    inflateEnd(&z);
    return rc == Z_STREAM_END && total == p.originalSize;
}

// libdeflate's decompressor, the fastest deflate decoder there is: whole buffers only, so it
// writes the member into a buffer of its size, checking the Adler-32.
bool libdeflateOnce(const Packed& p) {
    static libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    static std::vector<uint8_t> out;
    if (out.size() < p.originalSize) out.resize(p.originalSize);
    size_t got = 0;
    return libdeflate_zlib_decompress(d, p.data.data(), p.data.size(), out.data(), p.originalSize, &got) ==
               LIBDEFLATE_SUCCESS &&
           got == p.originalSize;
}

bool decodeAny(const Packed& p) {
    return p.method == zlibCodec ? inflateOnce(p) : p.method == libdeflateCodec ? libdeflateOnce(p) : decodeOnce(p);
}

struct Timing {
    std::vector<double> mbps;  // one figure per run
    double best() const { return *std::max_element(mbps.begin(), mbps.end()); }
    double worst() const { return *std::min_element(mbps.begin(), mbps.end()); }
    double median() const {
        std::vector<double> v = mbps;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

std::string methodName(int method) {
    return method == zlibCodec ? "zlib" : method == libdeflateCodec ? "libdefl" : nivo::methodIdOf(method).text;
}

struct ArchiveMember {
    std::string archive;
    std::string name;
    Packed packed;
};

bool readArchive(const std::string& path, std::vector<ArchiveMember>& out) {
    nivo::ExtractionContext context;
    context.archiveFile = std::fopen(path.c_str(), "rb");
    if (!context.archiveFile) {
        std::fprintf(stderr, "nivo_bench: %s: cannot open\n", path.c_str());
        return false;
    }
    nivo::ArchiveWalker walk(context);
    for (;;) {
        nivo::MemberHeader h;
        nivo::HeaderStatus status = walk.next(h);
        if (status == nivo::HeaderStatus::end) return true;
        if (status != nivo::HeaderStatus::member) {
            std::fprintf(stderr, "nivo_bench: %s: a header cannot be read; members after it are left out\n",
                         path.c_str());
            return true;
        }
        ArchiveMember m;
        m.archive = path;
        m.name = h.name;
        m.packed.method = nivo::methodIndex(h);
        m.packed.data.resize(h.compressedSize);
        size_t got = std::fread(m.packed.data.data(), 1, m.packed.data.size(), context.archiveFile);
        m.packed.data.resize(got);
        m.packed.originalSize = static_cast<uint32_t>(h.originalSize);
        m.packed.crc = h.dataCrc;
        m.packed.hasCrc = h.hasDataCrc != 0;
        if (m.packed.method >= 0 && m.packed.method != nivo::methodFolder) out.push_back(std::move(m));
    }
}

// Packs every slice of the text with libdeflate at the level (1 to 12), as zlib streams.
bool packLibdeflate(const std::vector<uint8_t>& text, const std::vector<std::pair<size_t, size_t>>& slices,
                    int level, std::vector<Packed>& out) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (!c) return false;
    for (auto [at, n] : slices) {
        const uint8_t* bytes = text.data() + at;
        Packed p{libdeflateCodec, {}, static_cast<uint32_t>(n), nivo::updateCrc(0, bytes, static_cast<uint32_t>(n)), true};
        p.data.resize(libdeflate_zlib_compress_bound(c, n));
        p.data.resize(libdeflate_zlib_compress(c, bytes, n, p.data.data(), p.data.size()));
        if (p.data.empty()) break;
        out.push_back(std::move(p));
    }
    libdeflate_free_compressor(c);
    return out.size() == slices.size();
}

// Packs every slice of the text with our compressor: the method (4 to 7) at the level.
void packOurs(const std::vector<uint8_t>& text, const std::vector<std::pair<size_t, size_t>>& slices, int method,
              int level, std::vector<Packed>& out) {
    nivo::EncoderOptions options;
    options.level = level;
    for (auto [at, n] : slices) {
        const uint8_t* bytes = text.data() + at;
        Packed p{method, {}, static_cast<uint32_t>(n), nivo::updateCrc(0, bytes, static_cast<uint32_t>(n)), true};
        nivo::compressStaticHuffman(method, bytes, n, p.data, options);
        out.push_back(std::move(p));
    }
}

// Packs every slice of the text with the Java LHA tool (jlha, from Debian's jlha-utils), run as
// a black box: the slices are written as files to a scratch folder, packed as one archive with
// the method (5 to 7), and the archive's members read back in order. False with a note on
// stderr when the tool is missing or its archive does not hold the slices.
bool packJlha(const std::vector<uint8_t>& text, const std::vector<std::pair<size_t, size_t>>& slices, int method,
              std::vector<Packed>& out) {
    if (std::system("command -v jlha >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "nivo_bench: jlha not found (apt-get install jlha-utils, or run bench/compare.sh "
                             "once); its rows are left out\n");
        return false;
    }
    std::string tmpl = (fs::temp_directory_path() / "nivo-bench-jlha-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return false;
    const fs::path dir = tmpl;
    std::string names;
    for (size_t i = 0; i < slices.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "m%03zu", i);
        std::ofstream f(dir / name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(text.data() + slices[i].first),
                static_cast<std::streamsize>(slices[i].second));
        names += std::string(" ") + name;
    }
    const std::string command = "cd '" + dir.string() + "' && jlha c" + "o" + std::to_string(method) +
                                " packed.lzh" + names + " >/dev/null 2>&1";
    const int rc = std::system(command.c_str());
    std::vector<ArchiveMember> members;
    if (rc == 0) readArchive((dir / "packed.lzh").string(), members);
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (members.size() != slices.size()) {
        std::fprintf(stderr, "nivo_bench: jlha -lh%d- did not pack the text as expected; its rows are left out\n",
                     method);
        return false;
    }
    for (size_t i = 0; i < members.size(); ++i) {
        Packed& p = members[i].packed;
        const uint8_t* bytes = text.data() + slices[i].first;
        const auto n = static_cast<uint32_t>(slices[i].second);
        if (p.originalSize != n || p.method != method || !p.hasCrc || p.crc != nivo::updateCrc(0, bytes, n)) {
            std::fprintf(stderr, "nivo_bench: jlha's member %s is not the slice it was given; its rows are left out\n",
                         members[i].name.c_str());
            return false;
        }
        out.push_back(std::move(p));
    }
    return true;
}

// Items of a member: its literals and matches, each of which a decoder's loop looks up one by
// one. The more bytes an item stands for, the fewer look-ups the same output takes.
uint64_t lzhItems(const Packed& p) {
    // Symbol by symbol with the method operations of the static Huffman methods.
    auto s = std::make_unique<nivo::DecoderState>();
    s->inputBuffer = const_cast<uint8_t*>(p.data.data());
    s->inputBufferSize = s->inputEnd = static_cast<uint32_t>(p.data.size());
    s->compressedLeft = p.data.size();
    s->dictBits = static_cast<uint16_t>(nivo::dictBitsOf(p.method));
    s->dictionarySize = 1u << s->dictBits;
    nivo::decodeInitStatic(*s);
    uint64_t produced = 0;
    uint64_t items = 0;
    for (; produced < p.originalSize && !s->damaged; ++items) {
        const uint32_t c = nivo::decodeSymbolStatic(*s);
        if (c <= 255) {
            ++produced;
        } else {
            produced += c - 253;
            nivo::decodeDistanceStatic(*s);
        }
    }
    return produced == p.originalSize && !s->damaged ? items : 0;
}

// The same count for a zlib stream, read as the deflate format (RFC 1951) describes it.
uint64_t deflateItems(const Packed& p) {
    const uint8_t* const data = p.data.data();
    const size_t size = p.data.size();
    size_t at = 2;  // past the zlib header
    uint64_t bits = 0;
    uint32_t have = 0;
    auto take = [&](uint32_t n) {
        for (; have < n; have += 8) bits |= static_cast<uint64_t>(at < size ? data[at++] : 0) << have;
        const auto v = static_cast<uint32_t>(bits & ((1ull << n) - 1));
        bits >>= n;
        have -= n;
        return v;
    };
    // A canonical code: the count of each length and the symbols in code order.
    struct Code {
        uint16_t count[16];
        uint16_t symbols[320];
    };
    auto build = [](Code& c, const uint8_t* lengths, uint32_t n) {
        uint16_t next[17] = {};
        std::memset(c.count, 0, sizeof c.count);
        for (uint32_t i = 0; i < n; ++i) ++c.count[lengths[i]];
        for (uint32_t l = 1; l < 16; ++l) next[l + 1] = static_cast<uint16_t>(next[l] + c.count[l]);
        for (uint32_t i = 0; i < n; ++i)
            if (lengths[i]) c.symbols[next[lengths[i]]++] = static_cast<uint16_t>(i);
    };
    auto decode = [&](const Code& c) -> uint32_t {
        int32_t code = 0, first = 0, index = 0;
        for (uint32_t l = 1; l < 16; ++l) {
            code |= static_cast<int32_t>(take(1));
            if (code - c.count[l] < first) return c.symbols[index + code - first];
            index += c.count[l];
            first = (first + c.count[l]) << 1;
            code <<= 1;
        }
        return 256;  // not a code: the block ends
    };
    static constexpr uint16_t lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static constexpr uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    uint64_t items = 0;
    uint64_t produced = 0;
    for (bool last = false; !last && at < size;) {
        last = take(1) != 0;
        const uint32_t type = take(2);
        if (type == 0) {  // stored: the bytes count as one item each
            bits = have = 0;
            const uint32_t n = at + 1 < size ? data[at] | data[at + 1] << 8 : 0;
            at += 4 + n;
            items += n;
            produced += n;
            continue;
        }
        uint8_t lengths[320] = {};
        uint32_t literals = 288, distances = 30;
        if (type == 1) {
            for (uint32_t i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
            for (uint32_t i = 0; i < 30; ++i) lengths[288 + i] = 5;
        } else {
            literals = take(5) + 257;
            distances = take(5) + 1;
            const uint32_t codes = take(4) + 4;
            uint8_t pre[19] = {};
            for (uint32_t i = 0; i < codes; ++i) pre[order[i]] = static_cast<uint8_t>(take(3));
            Code preCode;
            build(preCode, pre, 19);
            for (uint32_t i = 0; i < literals + distances && i < 320;) {
                const uint32_t c = decode(preCode);
                uint32_t run = 1;
                uint8_t value = static_cast<uint8_t>(c);
                if (c == 16) {
                    run = 3 + take(2);
                    value = i ? lengths[i - 1] : 0;
                } else if (c > 16) {
                    run = c == 17 ? 3 + take(3) : 11 + take(7);
                    value = 0;
                }
                for (; run && i < 320; --run) lengths[i++] = value;
            }
            // The distance lengths follow the literal/length ones at 288 in the fixed layout.
            std::memmove(lengths + 288, lengths + literals, distances);
            std::memset(lengths + literals, 0, 288 - literals);
        }
        Code symbols, positions;
        build(symbols, lengths, 288);
        build(positions, lengths + 288, 30);
        for (;;) {
            const uint32_t c = decode(symbols);
            if (c == 256 || produced > p.originalSize) break;
            ++items;
            ++produced;
            if (c > 256) {
                const uint32_t code = (c - 257) % 29;
                produced += lengthBase[code] - 1 + take(lengthExtra[code]);
                const uint32_t d = decode(positions);
                take(d < 4 ? 0 : (d - 2) / 2);
            }
        }
    }
    return produced == p.originalSize ? items : 0;  // 0: not read as it should be
}

// One stream of the like-with-like table: the text packed one way, and its timing.
struct Stream {
    std::string label;
    std::vector<Packed> members;
    Timing timing;
    uint64_t packedBytes() const {
        uint64_t n = 0;
        for (const Packed& p : members) n += p.data.size();
        return n;
    }
    // 0 when a member cannot be counted.
    uint64_t items() const {
        uint64_t n = 0;
        for (const Packed& p : members) {
            const uint64_t k = p.method == libdeflateCodec ? deflateItems(p) : lzhItems(p);
            if (k == 0) return 0;
            n += k;
        }
        return n;
    }
};

// Each LZH stream beside a libdeflate stream of the same text: ours at -1, the default level
// and -9 against libdeflate's levels 1, 6 and 12, and the Java LHA tool's against level 6. All
// streams take turns within each run.
bool likeWithLike(const std::vector<uint8_t>& text, const std::vector<std::pair<size_t, size_t>>& slices, int runs) {
    struct Row {
        size_t ours;
        size_t reference;
    };
    std::vector<Stream> streams;
    std::vector<Row> rows;
    const int levels[] = {1, 6, 12};
    size_t reference[3];
    std::printf("\nlike with like: packing the text (ours -1, default, -9; libdeflate 1, 6, 12; jlha)\n");
    std::fflush(stdout);
    for (int i = 0; i < 3; ++i) {
        Stream st{"libdeflate level " + std::to_string(levels[i]), {}, {}};
        if (!packLibdeflate(text, slices, levels[i], st.members)) {
            std::fprintf(stderr, "nivo_bench: libdeflate cannot compress the text\n");
            return false;
        }
        reference[i] = streams.size();
        streams.push_back(std::move(st));
    }
    const int ourLevels[] = {nivo::minLevel, nivo::defaultLevel, nivo::maxLevel};
    for (int method : {5, 6, 7}) {
        for (int i = 0; i < 3; ++i) {
            Stream st{methodName(method) + " -" + std::to_string(ourLevels[i]) +
                          (ourLevels[i] == nivo::defaultLevel ? " (default)" : ""),
                      {}, {}};
            packOurs(text, slices, method, ourLevels[i], st.members);
            rows.push_back({streams.size(), reference[i]});
            streams.push_back(std::move(st));
        }
    }
    for (int method : {5, 6, 7}) {
        Stream st{methodName(method) + " by jlha", {}, {}};
        if (!packJlha(text, slices, method, st.members)) continue;
        rows.push_back({streams.size(), reference[1]});
        streams.push_back(std::move(st));
    }
    for (const Stream& st : streams) {
        for (const Packed& p : st.members) {
            if (!decodeAny(p)) {
                std::fprintf(stderr, "nivo_bench: %s does not decode back to the text\n", st.label.c_str());
                return false;
            }
        }
    }
    for (int run = 0; run < runs; ++run) {
        for (Stream& st : streams) {
            auto start = Clock::now();
            for (const Packed& p : st.members) decodeAny(p);
            st.timing.mbps.push_back(mbPerSecond(text.size(), secondsSince(start)));
        }
    }
    std::printf("decoding, best of %d runs, MB/s of output; ours over libdeflate's in the same run, for the\n"
                "bytes and for the items (literals and matches, in millions) that each side looks up\n",
                runs);
    std::printf("  %-22s %6s %8s %6s   %-19s %6s %8s %6s   %s  %s\n", "ours", "ratio", "MB/s", "items", "libdeflate",
                "ratio", "MB/s", "items", "vs libdeflate", "per item");
    std::vector<double> items;  // millions, for each stream
    for (const Stream& st : streams) items.push_back(static_cast<double>(st.items()) / 1e6);
    for (const Row& r : rows) {
        const Stream& a = streams[r.ours];
        const Stream& b = streams[r.reference];
        const double itemsA = items[r.ours];
        const double itemsB = items[r.reference];
        const double ratio = a.timing.best() / b.timing.best();
        std::printf("  %-22s %5.1f%% %8.1f %6.2f   %-19s %5.1f%% %8.1f %6.2f   %13.2f  ", a.label.c_str(),
                    percent(a.packedBytes(), text.size()), a.timing.best(), itemsA, b.label.c_str(),
                    percent(b.packedBytes(), text.size()), b.timing.best(), itemsB, ratio);
        if (itemsA > 0 && itemsB > 0) {
            std::printf("%8.2f\n", ratio * itemsA / itemsB);
        } else {
            std::printf("%8s\n", "-");  // a stream that could not be counted
        }
    }
    return true;
}

void usage() {
    std::fprintf(stderr, "usage: nivo_bench [--runs N] [--cpu] [--text-mb N] [--member-mb N] [--portable] "
                         "[--no-like] [ARCHIVE...]\n");
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 7;
    size_t textMiB = 32;
    size_t memberMiB = 4;
    bool like = true;
    std::vector<std::string> archives;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto number = [&](size_t& v) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            unsigned long n = std::strtoul(argv[++i], &end, 10);
            if (*end || n == 0) return false;
            v = n;
            return true;
        };
        size_t n = 0;
        if (a == "--runs") {
            if (!number(n)) return usage(), 2;
            runs = static_cast<int>(n);
        } else if (a == "--cpu") {
            cpuClock = true;
        } else if (a == "--portable") {
            nivo::staticLoopBmi2 = false;
            nivo::crcForm = nivo::CrcForm::slices;
        } else if (a == "--no-like") {
            like = false;
        } else if (a == "--text-mb") {
            if (!number(textMiB)) return usage(), 2;
        } else if (a == "--member-mb") {
            if (!number(memberMiB) || memberMiB > 1024) return usage(), 2;
        } else if (a.starts_with("-")) {
            return usage(), 2;
        } else {
            archives.push_back(a);
        }
    }
    nivo::makeCrcTable();

    size_t files = 0;
    bool repeated = false;
    const std::vector<uint8_t> text = gatherText(textMiB << 20, files, repeated);
    if (text.empty()) {
        std::fprintf(stderr, "nivo_bench: no text files found on this machine\n");
        return 1;
    }
    std::printf("text: %zu bytes from %zu files under /usr/share/common-licenses, /usr/share/doc, "
                "/usr/include%s\n",
                text.size(), files, repeated ? " (repeated to fill)" : "");

    // The members: slices of the text, each packed by every codec.
    const size_t memberSize = memberMiB << 20;
    std::vector<std::pair<size_t, size_t>> slices;
    for (size_t at = 0; at < text.size(); at += memberSize)
        slices.emplace_back(at, std::min(memberSize, text.size() - at));
    static const char* const crcForms[] = {"by tables", "128-bit folding", "512-bit folding"};
    std::printf("members: %zu of up to %zu bytes; static Huffman loop: %s; CRC-16: %s\n\n", slices.size(),
                memberSize, nivo::staticLoopBmi2 ? "BMI2" : "portable",
                crcForms[static_cast<int>(nivo::crcForm)]);

    const int codecs[] = {5, 7, zlibCodec, libdeflateCodec};
    std::map<int, std::vector<Packed>> packed;
    std::printf("packing       original     packed  ratio   MB/s\n");
    for (int codec : codecs) {
        uint64_t packedBytes = 0;
        auto start = Clock::now();
        for (auto [at, n] : slices) {
            const uint8_t* bytes = text.data() + at;
            Packed p{codec, {}, static_cast<uint32_t>(n), nivo::updateCrc(0, bytes, static_cast<uint32_t>(n)), true};
            if (codec == libdeflateCodec) {
                static libdeflate_compressor* c = libdeflate_alloc_compressor(9);
                p.data.resize(libdeflate_zlib_compress_bound(c, n));
                p.data.resize(libdeflate_zlib_compress(c, bytes, n, p.data.data(), p.data.size()));
                if (p.data.empty()) {
                    std::fprintf(stderr, "nivo_bench: libdeflate cannot compress the text\n");
                    return 1;
                }
            } else if (codec == zlibCodec) {
                uLongf size = compressBound(static_cast<uLong>(n));
                p.data.resize(size);
                if (compress2(p.data.data(), &size, bytes, static_cast<uLong>(n), 6) != Z_OK) {
                    std::fprintf(stderr, "nivo_bench: zlib cannot compress the text\n");
                    return 1;
                }
                p.data.resize(size);
            } else {
                nivo::compressStaticHuffman(codec, bytes, n, p.data);
            }
            packedBytes += p.data.size();
            packed[codec].push_back(std::move(p));
        }
        double seconds = secondsSince(start);
        std::printf("  %-7s %12zu %10llu %5.1f%% %6.1f%s\n", methodName(codec).c_str(), text.size(),
                    static_cast<unsigned long long>(packedBytes), percent(packedBytes, text.size()),
                    mbPerSecond(text.size(), seconds),
                    codec == zlibCodec ? "  (zlib level 6)" : codec == libdeflateCodec ? "  (libdeflate level 9)" : "");
        for (const Packed& p : packed[codec]) {
            if (!decodeAny(p)) {
                std::fprintf(stderr, "nivo_bench: %s does not decode back to the text\n", methodName(codec).c_str());
                return 1;
            }
        }
    }

    // The codecs take turns within each run, so that a noisy moment hurts them alike.
    std::map<int, Timing> timing;
    for (int run = 0; run < runs; ++run) {
        for (int codec : codecs) {
            auto start = Clock::now();
            for (const Packed& p : packed[codec]) decodeAny(p);
            timing[codec].mbps.push_back(mbPerSecond(text.size(), secondsSince(start)));
        }
    }
    std::printf("\ndecoding the text, best of %d runs, MB/s of output (spread: worst against best)\n", runs);
    std::printf("  method      bytes     best  median   worst  spread  vs libdeflate\n");
    const double referenceBest = timing[libdeflateCodec].best();
    for (int codec : codecs) {
        const Timing& t = timing[codec];
        std::printf("  %-7s %10zu %8.1f %7.1f %7.1f %6.1f%%", methodName(codec).c_str(), text.size(), t.best(),
                    t.median(), t.worst(), 100.0 * (t.best() - t.worst()) / t.best());
        if (codec != libdeflateCodec) std::printf("  %6.2f", t.best() / referenceBest);
        std::printf("\n");
    }

    if (like && !likeWithLike(text, slices, runs)) return 1;

    if (!archives.empty()) {
        std::vector<ArchiveMember> members;
        for (const std::string& a : archives) readArchive(a, members);
        // Each member is repeated until one run of it takes at least this long.
        const double runSeconds = 0.01;
        struct Total {
            uint64_t bytes = 0;
            double seconds = 0;
            int members = 0;
            int failed = 0;
        };
        std::map<int, Total> totals;
        for (const ArchiveMember& m : members) {
            Total& total = totals[m.packed.method];
            if (m.packed.originalSize == 0) continue;  // nothing to time
            if (!decodeOnce(m.packed)) {
                std::fprintf(stderr, "nivo_bench: %s: %s does not decode to its size and CRC; left out\n",
                             m.archive.c_str(), m.name.c_str());
                ++total.failed;
                continue;
            }
            int reps = 1;
            for (;;) {
                auto start = Clock::now();
                for (int i = 0; i < reps; ++i) decodeOnce(m.packed);
                if (secondsSince(start) >= runSeconds || reps >= (1 << 20)) break;
                reps *= 2;
            }
            double best = 0;
            for (int run = 0; run < runs; ++run) {
                auto start = Clock::now();
                for (int i = 0; i < reps; ++i) decodeOnce(m.packed);
                double s = secondsSince(start) / reps;
                if (run == 0 || s < best) best = s;
            }
            total.bytes += m.packed.originalSize;
            total.seconds += best;
            ++total.members;
        }
        std::printf("\narchives on the command line, best of %d runs per member, MB/s of output\n", runs);
        std::printf("  method  members       bytes     MB/s  vs libdeflate\n");
        for (const auto& [method, t] : totals) {
            std::printf("  %-7s %7d %11llu", methodName(method).c_str(), t.members,
                        static_cast<unsigned long long>(t.bytes));
            if (t.members) {
                double mbps = mbPerSecond(t.bytes, t.seconds);
                std::printf(" %8.1f  %6.2f", mbps, mbps / referenceBest);
            }
            if (t.failed) std::printf("   (%d left out: not decoded)", t.failed);
            std::printf("\n");
        }
    }

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\npeak memory: %ld KiB resident (the text and its packed copies); the decoder itself "
                "needs %zu KiB of state and a window of 136 to 192 KiB (dictionary and output area), and "
                "reads its input in place\n",
                usage.ru_maxrss, sizeof(nivo::DecoderState) / 1024);
    return 0;
}
