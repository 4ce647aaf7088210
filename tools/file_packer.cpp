#include "tools/file_packer.h"

#include "command_line/terminal_text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "common/sjis_text.h"
#include "platform/posix_names.h"
#include "tools/lzh_encoder.h"
#include "tools/lzh_writer.h"

namespace nivo {

namespace {

// The longest name a reader joins from its directory and file parts.
constexpr size_t nameLimit = 259;

using FileId = std::pair<dev_t, ino_t>;

FileId idOf(const struct stat& st) {
    return {st.st_dev, st.st_ino};
}

std::string errorText(int error) {
    return std::strerror(error);
}

// The names in a folder, in name order, without "." and "..".
bool listFolder(const std::string& path, std::vector<std::string>& entries, std::string& error) {
    DIR* d = opendir(path.c_str());
    if (!d) {
        error = errorText(errno);
        return false;
    }
    errno = 0;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) entries.push_back(e->d_name);
    int readError = errno;
    closedir(d);
    if (readError) {
        error = errorText(readError);
        return false;
    }
    std::sort(entries.begin(), entries.end());
    return true;
}

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Why one component of a name cannot be a Windows file name, or empty.
std::string refuseComponent(const std::string& c) {
    for (char ch : c) {
        auto u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u == 0x7F) return "holds a control character, which Windows does not allow in names";
        if (std::strchr("<>:\"\\|?*", ch))
            return std::string("holds '") + ch + "', which Windows does not allow in names";
    }
    if (c.back() == '.' || c.back() == ' ') return "has a part ending in a dot or a space, which Windows drops";
    // The extractor's own rule, so that nothing is packed that the Windows program refuses.
    if (namesDeviceOrStream(c.c_str())) return "'" + c + "' is a Windows device name";
    return {};
}

// A command-line path as a member name: "." and empty components dropped, leading "/" and ".."
// components taken off (a ".." inside the path takes the component before it).
std::string memberName(const std::string& path, bool& rootTaken, bool& parentTaken) {
    rootTaken = !path.empty() && path[0] == '/';
    parentTaken = false;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string c = path.substr(start, end - start);
        if (c == "..") {
            if (parts.empty())
                parentTaken = true;
            else
                parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        start = end + 1;
    }
    std::string name;
    for (const auto& c : parts) name += (name.empty() ? "" : "/") + c;
    return name;
}

// The target of the symbolic link at path, as it is written.
bool readLink(const std::string& path, std::string& target, std::string& reason) {
    std::vector<char> buf(4096);
    const ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0 || static_cast<size_t>(n) >= buf.size()) {
        reason = n < 0 ? "cannot read the link: " + errorText(errno) : "link target too long";
        return false;
    }
    target.assign(buf.data(), static_cast<size_t>(n));
    return true;
}

// The length of a UTF-8 character that starts with byte c.
size_t utf8Length(unsigned char c) {
    return c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
}

// The name in code page 932 with "_" for each character that Shift-JIS cannot hold or turns
// into another; false when there was none.
bool cp932WithStandIns(const std::string& name, std::string& cp932) {
    cp932.clear();
    bool replaced = false;
    for (size_t i = 0; i < name.size();) {
        const size_t n = std::min(utf8Length(static_cast<unsigned char>(name[i])), name.size() - i);
        const std::string c = name.substr(i, n);
        std::string one;
        if (utf8ToCp932(c, one) && cp932ToUtf8(one.c_str()) == c) {
            cp932 += one;
        } else {
            cp932 += '_';
            replaced = true;
        }
        i += n;
    }
    return replaced;
}

struct Walker {
    const PackOptions& options;
    PackNotes& notes;
    std::vector<PackItem>& items;
    std::map<std::string, std::pair<std::string, FileId>> taken;  // lower-case name: shown, file
    std::set<FileId> ancestors;  // the folders on the way down, to find link loops
    bool haveExclude = false;
    FileId exclude{};
    int methodIndex = 0;  // of the input being walked

    void contents(const std::string& path, const std::string& name) {
        std::vector<std::string> entries;
        std::string error;
        if (!listFolder(path, entries, error)) {
            notes.skip(printableText(name.empty() ? path : name) + "/: cannot list the folder: " + error);
            return;
        }
        for (const auto& e : entries) visit(path + "/" + e, name.empty() ? e : name + "/" + e);
    }

    void visit(const std::string& path, const std::string& name) {
        const std::string shown = printableText(name);
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            notes.skip(shown + ": " + errorText(errno));
            return;
        }
        std::string target;
        if (S_ISLNK(st.st_mode) && !options.builder.followLinks) {
            std::string reason;
            if (!readLink(path, target, reason)) {
                notes.skip(shown + ": " + reason);
                return;
            }
        } else if (S_ISLNK(st.st_mode)) {
            if (stat(path.c_str(), &st) != 0) {
                notes.skip(shown + ": symbolic link that leads nowhere: " + errorText(errno));
                return;
            }
        }
        const bool link = S_ISLNK(st.st_mode);
        const bool folder = S_ISDIR(st.st_mode);
        if (!folder && !link && !S_ISREG(st.st_mode)) {
            notes.skip(shown + ": not a file or a folder, left out");
            return;
        }
        if (haveExclude && idOf(st) == exclude) {
            notes.warn(shown + ": the archive being written, left out");
            return;
        }
        if (folder && ancestors.count(idOf(st))) {
            notes.skip(shown + ": symbolic link loop, left out");
            return;
        }
        PackItem item;
        std::string reason =
            refuseName(name, item.name, options.unicodeNames ? &item.unicodeName : nullptr, false);
        if (reason.empty() && link && !utf8ToCp932(target, item.linkTarget))
            reason = "its target has characters that Shift-JIS cannot hold";
        // A link is stored as "name|target", a folder with a final "/".
        const size_t extra = link ? 1 + item.linkTarget.size() : folder;
        if (reason.empty() && item.name.size() + extra > nameLimit)
            reason = "longer than 259 bytes in Shift-JIS";
        // What only Windows cannot hold refuses the member for the Windows program, and is a
        // warning elsewhere.
        std::string windows;
        if (reason.empty()) {
            windows = windowsNameProblem(name);
            auto [at, fresh] = taken.try_emplace(asciiLower(name), shown, idOf(st));
            if (!fresh) {
                if (at->second.second == idOf(st)) return;  // the same file or folder again
                if (windows.empty()) windows = "collides with " + at->second.first + " on Windows";
            }
            if (options.windowsNames) reason = windows;
            else if (!windows.empty())
                notes.warn(shown + (folder ? "/" : "") + ": " + windows + "; packed, but Windows cannot extract it so");
        }
        if (!reason.empty()) {
            notes.skip(shown + (folder ? "/" : "") + ": refused: " + reason +
                       (folder ? " (with everything in it)" : ""));
            return;
        }
        item.path = path;
        item.shown = link ? name + " -> " + target : name;
        item.folder = folder;
        item.link = link;
        item.methodIndex = methodIndex;
        item.mtime = static_cast<uint32_t>(st.st_mtime);
        item.mode = static_cast<uint16_t>(st.st_mode);
        if (folder) {
            item.name += '/';
            item.shown += '/';
        } else if (!link) {
            item.size = static_cast<uint64_t>(st.st_size);
            if (item.size > UINT32_MAX) {
                notes.skip(shown + ": larger than 4 GB, left out");
                return;
            }
        }
        items.push_back(item);
        if (folder) {
            ancestors.insert(idOf(st));
            contents(path, name);
            ancestors.erase(idOf(st));
        }
    }
};

}  // namespace

void PackNotes::warn(const std::string& line) {
    warnings.push_back(line);
    if (onNote && !quiet) onNote(line);
}

void PackNotes::skip(const std::string& line) {
    skipped.push_back(line);
    if (onNote) onNote(line);
}

std::string refuseName(const std::string& name, std::string& cp932, std::string* unicode, bool windows) {
    cp932.clear();
    if (unicode) unicode->clear();
    std::string back;
    if (!utf8ToCp932(name, cp932) || (back = cp932ToUtf8(cp932.c_str())) != name) {
        if (!unicode) {
            if (back.empty()) return "has characters that Shift-JIS cannot hold";
            return "would come back from Shift-JIS as " + printableText(back);
        }
        std::string wide;
        if (!utf8ToUtf16(name, wide)) return "is not valid UTF-8, so it has no UTF-16 form";
        if (cp932WithStandIns(name, cp932)) *unicode = name;
        // The extractors hold each character that is not ASCII in 4 bytes of their 259.
        size_t held = 0;
        for (size_t i = 0; i < unicode->size(); i += utf8Length(static_cast<unsigned char>((*unicode)[i])))
            held += (*unicode)[i] & 0x80 ? (utf8Length(static_cast<unsigned char>((*unicode)[i])) == 4 ? 8 : 4) : 1;
        if (held > nameLimit) return "longer than 259 bytes as a UTF-16 name";
    }
    if (cp932.size() > nameLimit) return "longer than 259 bytes in Shift-JIS";
    return windows ? windowsNameProblem(name) : std::string();
}

std::string windowsNameProblem(const std::string& name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (end > start) {
            std::string reason = refuseComponent(name.substr(start, end - start));
            if (!reason.empty()) return reason;
        }
        start = end + 1;
    }
    return {};
}

std::vector<PackItem> collectItems(const std::vector<PackInput>& inputs, const PackOptions& options,
                                   PackNotes& notes) {
    std::vector<PackItem> items;
    Walker walker{options, notes, items, {}, {}, false, {}, 0};
    struct stat st {};
    if (!options.exclude.empty() && stat(options.exclude.c_str(), &st) == 0) {
        walker.haveExclude = true;
        walker.exclude = idOf(st);
    }
    for (const auto& [base, arg, method] : inputs) {
        if (arg.empty()) continue;
        walker.methodIndex = method < 0 ? options.methodIndex : method;
        bool rootTaken = false, parentTaken = false;
        std::string name = memberName(arg, rootTaken, parentTaken);
        if (rootTaken) notes.warn(printableText(arg) + ": leading '/' taken off the member names");
        if (parentTaken) notes.warn(printableText(arg) + ": leading '../' taken off the member names");
        std::string path = base.empty() || arg[0] == '/' ? arg : base + "/" + arg;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (!name.empty()) {
            walker.visit(path, name);
            continue;
        }
        // "." and the like: the folder's contents without its name.
        if (stat(path.c_str(), &st) != 0) {
            notes.skip(printableText(arg) + ": " + errorText(errno));
            continue;
        }
        walker.ancestors.insert(idOf(st));
        walker.contents(path, "");
        walker.ancestors.clear();
    }
    return items;
}

bool packItems(ArchiveBuilder& archive, const std::vector<PackItem>& items, PackNotes& notes,
               std::string& error, const PackedMember& packed) {
    for (const PackItem& item : items) {
        // The builder may report a member after this call has returned (members are compressed
        // and written behind the walk), so the report keeps its own copies.
        auto written = [packed, item](uint64_t original, uint64_t bytes) {
            if (packed) packed(item, original, bytes);
        };
        LzhMember member = item.folder || item.link ? folderMember(item.name, item.mtime) : LzhMember{};
        member.name = item.link ? item.name + "|" + item.linkTarget : item.name;
        if (!item.unicodeName.empty())
            member.unicodeName = item.unicodeName + (item.folder ? "/" : "") +
                                 (item.link ? "|" + cp932ToUtf8(item.linkTarget.c_str()) : "");
        member.unixTime = item.mtime;
        member.unixMode = item.mode;
        if (item.folder || item.link) {
            if (!archive.addFolder(member, error, written)) return false;
            continue;
        }
        std::string reason;
        if (!archive.addFile(item.path, member, item.methodIndex, reason, written, item.size)) {
            if (archive.failedToWrite()) {
                error = reason;
                return false;
            }
            notes.skip(printableText(item.shown) + ": cannot read: " + reason);
        }
    }
    return true;
}

int packLevelOption(const std::string& arg) {
    if (arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' + minLevel && arg[1] <= '0' + maxLevel) return arg[1] - '0';
    return 0;
}


std::string packOptionsHelp(const std::string& tool) {
    const unsigned threads = defaultThreads();
    const size_t megabytes = (builderMemoryBound(threads) + 999999) / 1000000;
    char text[1200];
    std::snprintf(text, sizeof text,
                  "  -1 ... -9             compression level: -1 fastest, -9 smallest (-%d when\n"
                  "                        none is given); -6 and above parse near-optimally\n"
                  "  --threads N           compress on N threads (default: one per core, here %u)\n"
                  "  --no-sync             replace an existing file without writing the new one\n"
                  "                        through to the disk first (faster; a power loss may\n"
                  "                        then leave neither)\n"
                  "\n"
                  "%s writes the archive as it goes; with %u threads it holds at most about\n"
                  "%zu MB, whatever the size of the files.\n",
                  defaultLevel, threads, tool.c_str(), threads, megabytes);
    return text;
}

int packMethodIndex(const std::string& name) {
    std::string n = name;
    if (n.size() == 5 && n.front() == '-' && n.back() == '-') n = n.substr(1, 3);
    if (n == "lh0") return 0;
    if (n == "lh5") return 5;
    if (n == "lh6") return 6;
    if (n == "lh7") return 7;
    return -1;
}

PackReporter::PackReporter(const char* program, bool verbose, uint64_t totalBytes)
    : program_(program), verbose_(verbose), terminal_(isatty(STDERR_FILENO) != 0), total_(totalBytes) {}

PackReporter::~PackReporter() {
    clearProgress();
}

void PackReporter::clearProgress() {
    if (!progressShown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressShown_ = false;
}

void PackReporter::note(const std::string& line) {
    clearProgress();
    std::fprintf(stderr, "%s: %s\n", program_, line.c_str());
}

void PackReporter::member(const PackItem& item, uint64_t original, uint64_t packed) {
    done_ += item.size;
    partial_ = 0;
    if (verbose_) {
        clearProgress();
        if (item.folder)
            std::printf("adding: %s\n", printableText(item.shown).c_str());
        else if (original == 0)
            std::printf("adding: %s (empty)\n", printableText(item.shown).c_str());
        else
            std::printf("adding: %s (%.1f%%)\n", printableText(item.shown).c_str(),
                        100.0 * static_cast<double>(packed) / static_cast<double>(original));
        std::fflush(stdout);
    }
    show(printableText(item.shown));
}

void PackReporter::advance(const std::string& cp932Name, uint64_t bytes) {
    partial_ += bytes;
    show(printableName(cp932Name.c_str()));
}

void PackReporter::follow(BuilderOptions& options) {
    options.progress = [this](const std::string& name, uint64_t bytes) { advance(name, bytes); };
}

// "mklzh:  45% name", the end of the name kept when the line is too wide for the terminal.
void PackReporter::show(const std::string& name) {
    if (!terminal_ || total_ == 0) return;
    // At most ten updates a second: a tree of small files would otherwise flood the terminal.
    auto now = std::chrono::steady_clock::now();
    const uint64_t done = std::min(done_ + partial_, total_);
    if (progressShown_ && now - lastShown_ < std::chrono::milliseconds(100) && done < total_) return;
    lastShown_ = now;
    char head[64];
    std::snprintf(head, sizeof head, "%s: %3d%% ", program_, static_cast<int>(done * 100 / total_));
    const int room = terminalWidth() - 1 - displayColumns(head);
    std::string shown = name;
    if (displayColumns(shown) > room) {
        // Drop whole characters from the front until "..." and the rest fit.
        size_t cut = 0;
        while (cut < shown.size() && displayColumns("..." + shown.substr(cut)) > room)
            do ++cut;
            while (cut < shown.size() && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80);
        shown = room > 3 ? "..." + shown.substr(cut) : "";
    }
    std::fprintf(stderr, "\r\033[K%s", fitColumns(head + shown, terminalWidth() - 1).c_str());
    std::fflush(stderr);
    progressShown_ = true;
}

}  // namespace nivo
