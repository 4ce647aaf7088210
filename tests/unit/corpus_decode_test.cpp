// Every member of every corpus archive: its header, and its data decoded in memory, against the
// manifests and the CRC-16 in the header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "lzh/archive_walker.h"
#include "common/crc16.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/test_support.h"
#include "extract/extraction_context.h"

namespace nivo {
namespace {

using test::CorpusArchive;

struct ReadMember {
    MemberHeader header;
    std::vector<uint8_t> data;  // compressed bytes as stored
};

// Walks the archive the way the run does: header, data, next header.
std::vector<ReadMember> readArchive(const std::string& path, HeaderStatus& last) {
    std::vector<ReadMember> out;
    last = HeaderStatus::damaged;
    ExtractionContext context;
    context.archiveFile = std::fopen(path.c_str(), "rb");
    EXPECT_NE(context.archiveFile, nullptr) << path;
    if (!context.archiveFile) return out;
    ArchiveWalker walk(context);
    for (;;) {
        ReadMember m;
        last = walk.next(m.header);
        if (last != HeaderStatus::member) break;
        EXPECT_FALSE(walk.endsInside) << m.header.name;
        m.data.resize(m.header.compressedSize);
        size_t got = std::fread(m.data.data(), 1, m.data.size(), context.archiveFile);
        m.data.resize(got);
        out.push_back(std::move(m));
    }
    return out;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string paramName(const std::string& path) {
    std::string base = path.substr(test::corpusDir().size() + 1);
    std::string out;
    for (char c : base) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return out;
}

// A member's data damaged in the ways a real file is: bits flipped, cut short, or a header that
// claims more (or less) than the data holds. Whatever each gives, the wide form of the loop
// must write, judge and report progress exactly as the compact one.
void expectDamageJudgedAlike(const std::vector<uint8_t>& data, int index, uint32_t originalSize) {
    std::mt19937 rng(originalSize ^ static_cast<uint32_t>(data.size()));
    for (int trial = 0; trial < 12 && !data.empty(); ++trial) {
        std::vector<uint8_t> damaged = data;
        uint32_t size = originalSize;
        switch (trial % 4) {
        case 0:
            for (int k = 0; k <= trial / 4; ++k) damaged[rng() % damaged.size()] ^= uint8_t(1u << (rng() % 8));
            break;
        case 1:
            damaged.resize(rng() % damaged.size());
            break;
        case 2:
            size += uint32_t(1 + rng() % 70000);
            break;
        default:
            size = size ? uint32_t(rng() % size) : 0;
            break;
        }
        SCOPED_TRACE(testing::Message() << "damage " << trial);
        test::decodeBothForms(damaged, index, size);
    }
}

class GeneratedCorpus : public testing::TestWithParam<CorpusArchive> {};

TEST_P(GeneratedCorpus, HeadersAndDataMatchTheManifest) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << test::corpusDir();
    makeCrcTable();
    HeaderStatus last;
    auto members = readArchive(a.path, last);
    EXPECT_EQ(last, HeaderStatus::end);
    ASSERT_EQ(members.size(), a.members.size());
    for (size_t i = 0; i < members.size(); ++i) {
        const MemberHeader& h = members[i].header;
        const test::ExpectedMember& e = a.members[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(std::string(h.name), e.name);
        EXPECT_EQ(h.level, a.level);
        EXPECT_EQ(h.hasModifiedTime, 1);
        EXPECT_EQ(static_cast<int64_t>(h.modifiedTime), e.mtime);
        int index = methodIndex(h);
        if (e.folder) {
            EXPECT_EQ(index, methodFolder);
            continue;
        }
        ASSERT_GE(index, 0);
        // Members that do not compress are stored, as real archivers do.
        if (index != methodStored) {
            EXPECT_EQ(std::string(h.method, 5), a.method);
        }
        // Every form of the decoding loop: the wide one of the extractor (each build), the
        // compact one of the Windows program.
        for (test::Form form : test::decoderForms()) {
            SCOPED_TRACE(test::formName(form));
            test::VectorSink sink;
            DecodeResult r = test::decodeInForm(form, members[i].data.data(),
                                                static_cast<uint32_t>(members[i].data.size()), index,
                                                h.originalSize, sink);
            EXPECT_EQ(r.status, DecodeStatus::complete);
            EXPECT_FALSE(r.truncated);
            EXPECT_FALSE(r.overran);
            EXPECT_EQ(h.hasDataCrc, 1);
            EXPECT_EQ(r.crc, h.dataCrc);
            EXPECT_EQ(sink.bytes.size(), e.size);
            EXPECT_EQ(test::sha256Hex(sink.bytes), e.sha256);
        }
        if (index == methodStored) continue;
        expectDamageJudgedAlike(members[i].data, index, uint32_t(h.originalSize));
        // From the file through a small input buffer: the fast loops meet the buffer's end, and
        // its refills, thousands of times.
        FILE* f = test::fileWithBytes(members[i].data);
        ASSERT_NE(f, nullptr);
        test::VectorSink streamed;
        MemberDecoder decoder(f, streamed, h.originalSize, members[i].data.size(), dictBitsOf(index), index);
        decoder.setInputLimit(37);
        DecodeResult r = decoder.run();
        std::fclose(f);
        EXPECT_EQ(r.status, DecodeStatus::complete);
        EXPECT_EQ(r.crc, h.dataCrc);
        EXPECT_EQ(test::sha256Hex(streamed.bytes), e.sha256);
    }
}

std::vector<CorpusArchive> generatedOrPlaceholder() {
    auto v = test::generatedArchives();
    if (v.empty()) v.push_back(CorpusArchive{});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Corpus, GeneratedCorpus, testing::ValuesIn(generatedOrPlaceholder()),
                         [](const auto& p) {
                             return p.param.path.empty() ? std::string("absent") : paramName(p.param.path);
                         });

class RealCorpus : public testing::TestWithParam<CorpusArchive> {};

TEST_P(RealCorpus, FilesMatchTheManifestAndTheHeaderCrc) {
    const CorpusArchive& a = GetParam();
    if (a.path.empty()) GTEST_SKIP() << "no corpus at " << test::corpusDir();
    makeCrcTable();
    HeaderStatus last;
    auto members = readArchive(a.path, last);
    EXPECT_EQ(last, HeaderStatus::end);
    size_t files = 0;
    for (const ReadMember& m : members) {
        const MemberHeader& h = m.header;
        SCOPED_TRACE(h.name);
        int index = methodIndex(h);
        ASSERT_GE(index, 0);
        if (index == methodFolder) continue;
        ++files;
        test::VectorSink sink;
        DecodeResult r = decodeMemberData(m.data.data(), static_cast<uint32_t>(m.data.size()), index,
                                          h.originalSize, sink, {}, false);
        EXPECT_EQ(r.status, DecodeStatus::complete);
        for (test::Form form : test::decoderForms()) {
            if (form == test::Form::wide) continue;
            SCOPED_TRACE(test::formName(form));
            test::VectorSink other;
            DecodeResult o = test::decodeInForm(form, m.data.data(), static_cast<uint32_t>(m.data.size()), index,
                                                h.originalSize, other);
            EXPECT_EQ(o.status, r.status);
            EXPECT_EQ(o.crc, r.crc);
            EXPECT_EQ(other.bytes, sink.bytes);
        }
        EXPECT_EQ(sink.bytes.size(), h.originalSize);
        if (h.hasDataCrc) {
            EXPECT_EQ(r.crc, h.dataCrc);
        }
        auto it = std::find_if(a.members.begin(), a.members.end(),
                               [&](const auto& e) { return e.name == lower(h.name); });
        ASSERT_NE(it, a.members.end()) << "member not in the manifest";
        // The manifest records an empty file for members that the extractors behind it could
        // not read; the header's size and CRC-16 speak for those.
        if (!(it->sha256 == test::sha256Hex(nullptr, 0) && h.originalSize != 0)) {
            EXPECT_EQ(test::sha256Hex(sink.bytes), it->sha256);
        }
    }
    // Every member is in the manifest. The reverse does not hold everywhere: the manifest of
    // dos2/lz4.lzs also lists a file that is its one member's contents unpacked once more by
    // another tool, which no LZH member holds.
    EXPECT_TRUE(files > 0 || a.members.empty());
}

// The regression archives (an expected failure in the manifest) are not read here: the program
// tests extract them and check what is refused, so they are no skipped test here.
std::vector<CorpusArchive> realOrPlaceholder() {
    auto v = test::realArchives();
    std::erase_if(v, [](const CorpusArchive& a) { return !a.expect.empty(); });
    if (v.empty()) v.push_back(CorpusArchive{});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Corpus, RealCorpus, testing::ValuesIn(realOrPlaceholder()),
                         [](const auto& p) {
                             return p.param.path.empty() ? std::string("absent") : paramName(p.param.path);
                         });

TEST(GeneratedCorpusPresence, SkipsWithAMessageWhenAbsent) {
    NIVO_REQUIRE_CORPUS();
    EXPECT_FALSE(test::generatedArchives().empty());
}

}  // namespace
}  // namespace nivo
