// Shared helpers of the native tests: the corpus, its manifests, byte sinks, temporary folders.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decode/member_decoder.h"

namespace nivo::test {

std::string corpusDir();
// True when ../shared/corpus is there; tests that need it skip with a message otherwise.
bool haveCorpus();
#define NIVO_REQUIRE_CORPUS() \
    if (!::nivo::test::haveCorpus()) GTEST_SKIP() << "no corpus at " << ::nivo::test::corpusDir()

std::vector<uint8_t> readBinary(const std::string& path);
void writeBinary(const std::string& path, const std::vector<uint8_t>& bytes);
// The bytes of a text, and a file's whole content as text.
std::vector<uint8_t> bytesOf(const std::string& s);
std::string textOf(const std::filesystem::path& p);
std::string sha256Hex(const uint8_t* data, size_t size);
inline std::string sha256Hex(const std::vector<uint8_t>& v) { return sha256Hex(v.data(), v.size()); }
std::vector<uint8_t> bytesFromHex(const std::string& hex);

// A member as a manifest describes it.
struct ExpectedMember {
    std::string name;        // stored name bytes (generated corpus) or lower-case name (real)
    bool folder = false;
    uint64_t size = 0;
    std::string sha256;
    int64_t mtime = -1;      // UTC seconds, -1 when the manifest gives none
};

struct CorpusArchive {
    std::string path;        // full path of the archive
    std::string method;      // the method the manifest names, empty for the real corpus
    int level = -1;
    std::vector<ExpectedMember> members;  // generated: in archive order; real: the files
    std::string expect;      // real regression archives: what must happen instead
};

// gtest prints parameters with this: the archive's path, not its bytes.
inline void PrintTo(const CorpusArchive& a, std::ostream* os) { *os << a.path; }

std::vector<CorpusArchive> generatedArchives();
std::vector<CorpusArchive> realArchives();

// Collects decoded bytes in memory.
class VectorSink final : public OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        EXPECT_GT(count, 0u) << "a write of nothing";
        bytes.insert(bytes.end(), data, data + count);
        return true;
    }
    std::vector<uint8_t> bytes;
};

// A folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir; }
    std::string str() const { return dir.string(); }

private:
    std::filesystem::path dir;
};

// A FILE* over bytes, through a temporary file (portable, unlike fmemopen).
FILE* fileWithBytes(const std::vector<uint8_t>& bytes);

}  // namespace nivo::test
