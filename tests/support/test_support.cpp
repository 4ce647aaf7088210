#include "tests/support/test_support.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

namespace nivo::test {

namespace fs = std::filesystem;

std::string corpusDir() {
    return NIVO_CORPUS_DIR;
}

bool haveCorpus() {
    return fs::is_regular_file(fs::path(corpusDir()) / "generated" / "manifest.json");
}

std::vector<uint8_t> readBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> bytesOf(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string textOf(const std::filesystem::path& p) {
    std::vector<uint8_t> b = readBinary(p.string());
    return std::string(b.begin(), b.end());
}

void writeBinary(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> bytesFromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<CorpusArchive> generatedArchives() {
    std::vector<CorpusArchive> out;
    fs::path dir = fs::path(corpusDir()) / "generated";
    std::ifstream in(dir / "manifest.json");
    if (!in) return out;
    nlohmann::json m = nlohmann::json::parse(in);
    std::vector<ExpectedMember> members;
    for (const auto& e : m["members"]) {
        ExpectedMember em;
        auto bytes = bytesFromHex(e["name_hex"].get<std::string>());
        em.name.assign(bytes.begin(), bytes.end());
        em.folder = e["folder"].get<bool>();
        if (!em.folder) {
            em.size = e["size"].get<uint64_t>();
            em.sha256 = e["sha256"].get<std::string>();
        }
        em.mtime = e["mtime_utc"].get<int64_t>();
        members.push_back(em);
    }
    for (const auto& a : m["archives"]) {
        CorpusArchive ca;
        ca.path = (dir / a["file"].get<std::string>()).string();
        ca.method = a["method"].get<std::string>();
        ca.level = a["level"].get<int>();
        ca.members = members;
        out.push_back(ca);
    }
    return out;
}

std::vector<CorpusArchive> realArchives() {
    std::vector<CorpusArchive> out;
    fs::path dir = fs::path(corpusDir()) / "real";
    std::ifstream in(dir / "manifest.json");
    if (!in) return out;
    nlohmann::json m = nlohmann::json::parse(in);
    for (auto it = m.begin(); it != m.end(); ++it) {
        CorpusArchive ca;
        ca.path = (dir / it.key()).string();
        if (it.value().contains("expect")) ca.expect = it.value()["expect"].get<std::string>();
        for (auto f = it.value()["files"].begin(); f != it.value()["files"].end(); ++f) {
            ExpectedMember em;
            em.name = f.key();
            em.sha256 = f.value().get<std::string>();
            ca.members.push_back(em);
        }
        out.push_back(ca);
    }
    return out;
}

TempDir::TempDir() {
    std::random_device rd;
    for (;;) {
        dir = fs::temp_directory_path() / ("nivo-test-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(dir, ec)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    // Folders a test made unwritable must not keep their contents alive.
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); ++it)
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
}

FILE* fileWithBytes(const std::vector<uint8_t>& bytes) {
    FILE* f = std::tmpfile();
    if (!f) return nullptr;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

}  // namespace nivo::test
