// mksfx: builds a self-extracting file: the Windows program image, the settings block, and an
// LZH archive, back to back.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "extract/extraction_context.h"
#include "lzh/member_header.h"
#include "command_line/command_line.h"
#include "platform/posix_names.h"
#include "lzh/settings_writer.h"
#include "tools/archive_builder.h"
#include "tools/existing_archive.h"
#include "tools/file_packer.h"
#include "tools/lzh_writer.h"
#include "tools/output_file.h"
#include "platform/posix_files.h"
#include "lzh/settings_block.h"

namespace {

const std::string usage =
    "usage: mksfx [OPTION]... OUTPUT (--archive ARCHIVE.lzh | [-C DIR] PATH...)\n"
    "\n"
    "Builds the self-extracting file OUTPUT from the Windows program image, a settings block\n"
    "and an LZH archive: an existing one, or one packed from the files and folders PATH\n"
    "(names relative to DIR).\n"
    "\n"
    "Settings (texts in UTF-8, stored in code page 932, at most 255 bytes each):\n"
    "  --title TEXT          caption of the dialog and the progress window\n"
    "  --destination TEXT    default destination folder; without a drive it is placed under\n"
    "                        the current directory, or with --program-files under\n"
    "                        \\Program Files\\ on the Windows drive\n"
    "  --program-files       see --destination\n"
    "  --target PATH         file the shortcuts point to, relative to the destination\n"
    "  --start-menu OPTION   Start menu entry\n"
    "  --desktop OPTION      Desktop shortcut\n"
    "  --send-to OPTION      Send To entry\n"
    "  --open PATH           file to open after a finished run, relative to the destination\n"
    "                        (a --target or --open that names no member is warned about)\n"
    "  --settings            write a settings block even when no setting is given\n"
    "  --no-settings         write no settings block: the program unpacks into the current\n"
    "                        directory without asking (the default when no setting is given)\n"
    "OPTION is never (0), offered (1), always (2), checked (3: offered and chosen), or a\n"
    "number from 0 to 255: bit 0 enables the check box, bit 1 checks it. A shortcut option\n"
    "other than never needs --target.\n"
    "\n"
    "  -m, --method METHOD   for files packed here: lh0 (stored), lh5, lh6 or lh7 (the\n"
    "                        default); a file that does not get smaller is stored\n" +
    nivo::packOptionsHelp("mksfx") +
    "\n"
    "  -v, --verbose         name each member as it is added, with its packed size in per cent\n"
    "  -L, --follow-links    pack what symbolic links point to (always: the Windows\n"
    "                        program makes no links; kept for the packers' common options)\n"
    "  --archive FILE        an existing LZH archive instead of PATH...; every member must use a\n"
    "                        method the program reads (-lh0- to -lh7-, -lhx-, -lzs-, -lz5-,\n"
    "                        -lz4-); a self-extracting file is refused: give its archive\n"
    "  --elevation LEVEL     the rights Windows starts the program with: asInvoker (the\n"
    "                        user's own), highestAvailable or requireAdministrator; by default\n"
    "                        requireAdministrator when the destination is under Program Files,\n"
    "                        else asInvoker\n"
    "  --stub FILE           the program image (default: sfx.exe next to mksfx, then\n"
    "                        ../share/nivo-sfx/sfx.exe from mksfx's folder, then the build's)\n"
    "  --sign CERT --key KEY sign the finished file with osslsigncode: CERT and KEY are PEM\n"
    "                        files; the signature goes behind the archive\n"
    "  -h, --help            this text\n"
    "  --version             the program's version\n"
    "\n"
    "Exit status: 0 on success; 3 when the file was written but some inputs were left out (each\n"
    "is named); 1 when a file cannot be read, written or signed; 10 for bad usage.\n";

constexpr int exitFailure = 1;
constexpr int exitSkipped = 3;
const nivo::cli::Program program{"mksfx", usage.c_str()};

// The Windows program makes no links: mksfx packs what they point to.
nivo::PackOptions packOptions() {
    nivo::PackOptions p;
    p.builder.followLinks = true;
    // A name that Shift-JIS cannot hold goes beside its UTF-16 form, which the program reads.
    p.unicodeNames = true;
    return p;
}

struct Options {
    nivo::SettingsFields settings;  // texts in code page 932
    bool settingsGiven = false;     // any setting on the command line
    int block = -1;  // -1: present when any setting is given; 0: absent; 1: present
    std::string stub, output, archive, base, signCert, signKey;
    std::string elevation;  // empty: chosen from the destination
    std::vector<nivo::PackInput> paths;  // each with the -C folder in force where it stands
    nivo::PackOptions pack = packOptions();
    bool verbose = false;
};

int usageError(const std::string& message) {
    return nivo::cli::usageError(program, message);
}

bool readFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool parseOption(const std::string& text, uint8_t& value) {
    static const struct {
        const char* name;
        uint8_t bits;
    } named[] = {{"never", 0},
                 {"offered", nivo::optionOffered},
                 {"always", nivo::optionChosen},
                 {"checked", nivo::optionOffered | nivo::optionChosen}};
    for (const auto& n : named)
        if (text == n.name) {
            value = n.bits;
            return true;
        }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || v < 0 || v > 255) return false;
    value = static_cast<uint8_t>(v);
    return true;
}

// Where the program image may be: beside mksfx (a build folder), in the share folder of an
// installed mksfx, and where the build that made mksfx puts it.
std::vector<std::string> stubCandidates() {
    std::vector<std::string> places;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.rfind('/') + 1);
        places.push_back(dir + "sfx.exe");
        places.push_back(dir + "../share/nivo-sfx/sfx.exe");
    }
    places.push_back(NIVO_DEFAULT_STUB);
    return places;
}

const char buildHint[] =
    "Build it with scripts/build_stub.sh (it needs the i686 MinGW-w64 compilers), or give its place "
    "with --stub FILE.\n";

// The program image from --stub or the first place that has one; false with the message told.
bool loadStub(Options& o, std::vector<uint8_t>& image) {
    if (o.stub.empty()) {
        std::vector<std::string> places = stubCandidates();
        for (const auto& p : places)
            if (access(p.c_str(), F_OK) == 0) {
                o.stub = p;
                break;
            }
        if (o.stub.empty()) {
            std::string list;
            for (const auto& p : places) list += "\n  " + p;
            std::fprintf(stderr, "mksfx: no Windows program image (sfx.exe); looked in:%s\n%s", list.c_str(),
                         buildHint);
            return false;
        }
    }
    if (!readFile(o.stub, image)) {
        std::fprintf(stderr, "mksfx: %s: cannot read the program image: %s\n%s", o.stub.c_str(),
                     std::strerror(errno), buildHint);
        return false;
    }
    if (image.size() != size_t(nivo::imageSize) || image[0] != 'M' || image[1] != 'Z') {
        std::fprintf(stderr, "mksfx: %s: not the program image: %zu bytes, expected a Windows program of %zu\n",
                     o.stub.c_str(), image.size(), size_t(nivo::imageSize));
        return false;
    }
    return true;
}

// Reads every header of the archive: true when all members use a method the program reads
// and the archive ends properly; names gets the members' names (code page 932, "/").
bool checkArchive(const std::string& path, std::vector<std::string>& names) {
    std::vector<nivo::ExistingMember> members;
    std::string error;
    const std::string shown = nivo::printableText(path);
    if (!nivo::readExistingArchive(path, members, error)) {
        std::fprintf(stderr, "mksfx: %s: %s\n", shown.c_str(), error.c_str());
        return false;
    }
    std::vector<std::string> unreadable;
    for (const nivo::ExistingMember& m : members) {
        if (m.status == nivo::HeaderStatus::nameTooLong)
            unreadable.push_back("a member at offset " + std::to_string(m.start) + ": name longer than 259 bytes");
        else if (nivo::methodIndex(m.header) < 0)
            unreadable.push_back(nivo::printableName(m.header.name) + ": method " +
                                 nivo::printableText(std::string(m.header.method, 5)) + " is not one the program reads");
        else
            names.push_back(m.header.name);
    }
    for (const auto& line : unreadable) std::fprintf(stderr, "mksfx: %s: %s\n", shown.c_str(), line.c_str());
    if (!unreadable.empty()) return false;
    if (names.empty()) {
        std::fprintf(stderr, "mksfx: %s: holds no members\n", shown.c_str());
        return false;
    }
    return true;
}

// Warns when a setting's path (code page 932, "\" or "/" between components, relative to the
// destination) is not among the member names. Windows compares names without regard to case.
void warnUnlessMember(const char* option, const std::string& setting, const std::vector<std::string>& names) {
    if (setting.empty()) return;
    auto key = [](std::string t) {
        nivo::slashBackslashes(t.data(), t.size());
        while (!t.empty() && t[0] == '/') t.erase(0, 1);
        for (char& c : t)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return t;
    };
    const std::string wanted = key(setting);
    for (const auto& n : names)
        if (key(n) == wanted) return;
    std::fprintf(stderr, "mksfx: warning: %s %s names no member of the archive\n", option,
                 nivo::printableName(setting.c_str()).c_str());
}

// Signs file in place with osslsigncode; the signature is appended behind everything.
bool signFile(const Options& o, const std::string& file) {
    const std::string signedFile = file + ".signed";
    std::vector<std::string> args = {"osslsigncode", "sign", "-certs", o.signCert, "-key", o.signKey,
                                     "-in", file, "-out", signedFile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Its report of success goes nowhere; its errors reach the user.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int spawned = posix_spawnp(&pid, "osslsigncode", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "mksfx: cannot sign: osslsigncode: %s (it comes in the osslsigncode package)\n",
                     std::strerror(spawned));
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "mksfx: osslsigncode could not sign %s with %s and %s\n", o.output.c_str(),
                     o.signCert.c_str(), o.signKey.c_str());
        std::remove(signedFile.c_str());
        return false;
    }
    if (std::rename(signedFile.c_str(), file.c_str()) != 0) {
        std::fprintf(stderr, "mksfx: %s: %s\n", file.c_str(), std::strerror(errno));
        std::remove(signedFile.c_str());
        return false;
    }
    return true;
}

// Parses the command line; returns -1 to go on, else the exit code.
int parseArguments(int argc, char** argv, Options& o) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto positional = [&](const std::string& a) {
        if (o.output.empty())
            o.output = a;
        else
            o.paths.push_back({o.base, a});
    };
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded) {
            positional(a);
            continue;
        }
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        // A text setting: converted to code page 932 and limited to a length byte.
        auto text = [&](std::string& out) {
            std::string utf8;
            if (!value(utf8)) return usageError(a + " needs a value");
            if (!nivo::utf8ToCp932(utf8, out))
                return usageError(a + ": '" + utf8 + "' cannot be written in code page 932");
            if (out.size() > nivo::settingsTextLimit)
                return usageError(a + ": longer than 255 bytes in code page 932");
            o.settingsGiven = true;
            return -1;
        };
        auto option = [&](uint8_t& out) {
            std::string v;
            if (!value(v) || !parseOption(v, out))
                return usageError(a + " needs never, offered, always, checked or 0 to 255");
            o.settingsGiven = true;
            return -1;
        };
        int r = -1;
        if (a == "--help" || a == "-h") {
            std::fputs(usage.c_str(), stdout);
            return 0;
        } else if (a == "--version") {
            nivo::cli::printVersion(program);
            return 0;
        } else if (a == "--title") {
            r = text(o.settings.title);
        } else if (a == "--destination") {
            r = text(o.settings.destination);
        } else if (a == "--target") {
            r = text(o.settings.shortcutTarget);
        } else if (a == "--open") {
            r = text(o.settings.launchCommand);
        } else if (a == "--program-files") {
            o.settings.programFilesFlag = 1;
            o.settingsGiven = true;
        } else if (a == "--start-menu") {
            r = option(o.settings.startMenuOption);
        } else if (a == "--desktop") {
            r = option(o.settings.desktopOption);
        } else if (a == "--send-to") {
            r = option(o.settings.sendToOption);
        } else if (a == "--settings" || a == "--no-settings") {
            int want = a == "--settings" ? 1 : 0;
            if (o.block != -1 && o.block != want) return usageError("--settings and --no-settings together");
            o.block = want;
        } else if (a == "--elevation") {
            static const char* const levels[] = {"asInvoker", "highestAvailable", "requireAdministrator"};
            if (!value(o.elevation) ||
                std::find(std::begin(levels), std::end(levels), o.elevation) == std::end(levels))
                return usageError("--elevation needs asInvoker, highestAvailable or requireAdministrator");
        } else if (a == "--stub") {
            if (!value(o.stub)) return usageError("--stub needs a file");
        } else if (a == "--archive") {
            if (!value(o.archive)) return usageError("--archive needs a file");
        } else if (a == "-C") {
            if (!value(o.base)) return usageError("-C needs a folder");
        } else if (a == "--method" || a == "-m") {
            std::string m;
            if (!value(m) || (o.pack.methodIndex = nivo::packMethodIndex(m)) < 0)
                return usageError(a + " needs lh0, lh5, lh6 or lh7");
        } else if (int level = nivo::packLevelOption(a)) {
            o.pack.builder.encoder.level = level;
        } else if (a == "--threads") {
            std::string v;
            if (!value(v) || !(o.pack.builder.threads = nivo::cli::threadsOption(v)))
                return usageError("--threads needs a number from 1 to 1024");
        } else if (a == "--no-sync") {
            nivo::syncReplacements = false;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else if (a == "-L" || a == "--follow-links") {
            o.pack.builder.followLinks = true;
        } else if (a == "--sign") {
            if (!value(o.signCert)) return usageError("--sign needs a certificate file");
        } else if (a == "--key") {
            if (!value(o.signKey)) return usageError("--key needs a private key file");
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option " + a);
        } else {
            positional(a);
        }
        if (r != -1) return r;
    }
    if (o.output.empty()) return usageError("no output file");
    if (o.archive.empty() == o.paths.empty())
        return usageError(o.archive.empty() ? "nothing to pack: give --archive or paths"
                                            : "--archive and paths together");
    if (o.block == 0 && o.settingsGiven) return usageError("--no-settings with settings");
    if (o.signCert.empty() != o.signKey.empty()) return usageError("--sign and --key go together");
    const nivo::SettingsFields& s = o.settings;
    if (s.shortcutTarget.empty()) {
        const char* const names[] = {"--start-menu", "--desktop", "--send-to"};
        const uint8_t values[] = {s.startMenuOption, s.desktopOption, s.sendToOption};
        for (int k = 0; k < 3; ++k)
            if (values[k]) return usageError(std::string(names[k]) + " needs --target: a shortcut needs a file to point to");
    }
    if (o.block == -1) o.block = o.settingsGiven ? 1 : 0;
    return -1;
}

// Whether the destination the settings give is under Program Files: placed there by the flag,
// or written out with a drive ("C:\\Program Files\\...", "C:\\Program Files (x86)\\...").
bool underProgramFiles(const nivo::SettingsFields& settings) {
    const std::string& d = settings.destination;
    const bool drive = d.size() >= 2 && std::isalpha(static_cast<unsigned char>(d[0])) && d[1] == ':';
    if (!drive) return settings.programFilesFlag && !d.empty();
    static const char folder[] = "program files";
    const size_t n = sizeof folder - 1;
    auto separator = [&](size_t at) { return d[at] == '\\' || d[at] == '/'; };
    if (d.size() < 3 + n || !separator(2) || strncasecmp(d.c_str() + 3, folder, n) != 0) return false;
    return d.size() == 3 + n || separator(3 + n) || d[3 + n] == ' ';
}

// The program's manifest holds its execution level in a field as wide as the longest level:
// level="asInvoker" and spaces up to the end of the attribute list. The level is written into
// that field in place; false when the image has no such field.
bool setExecutionLevel(std::vector<uint8_t>& image, const std::string& level) {
    static const char field[] = "level=\"asInvoker\"";
    constexpr size_t width = sizeof "level=\"requireAdministrator\"" - 1;
    auto at = std::search(image.begin(), image.end(), field, field + sizeof field - 1);
    if (at == image.end() || static_cast<size_t>(image.end() - at) < width ||
        std::any_of(at + sizeof field - 1, at + width, [](uint8_t c) { return c != ' '; }))
        return false;
    std::string text = "level=\"" + level + "\"";
    text.resize(width, ' ');
    std::copy(text.begin(), text.end(), at);
    return true;
}

}  // namespace

int run(int argc, char** argv) {
    Options o;
    int r = parseArguments(argc, argv, o);
    if (r != -1) return r;

    std::vector<uint8_t> image;
    if (!loadStub(o, image)) return exitFailure;
    if (o.elevation.empty())
        o.elevation = o.block && underProgramFiles(o.settings) ? "requireAdministrator" : "asInvoker";
    if (!setExecutionLevel(image, o.elevation)) {
        std::fprintf(stderr, "mksfx: %s: the program image has no manifest with an execution level to set\n",
                     o.stub.c_str());
        return exitFailure;
    }

    std::vector<uint8_t> archive;
    std::vector<std::string> names;  // the members, for the checks of --target and --open
    nivo::PackNotes notes;
    std::vector<nivo::PackItem> items;
    if (!o.archive.empty()) {
        if (!checkArchive(o.archive, names)) {
            std::fprintf(stderr, "mksfx: %s: refused\n", o.archive.c_str());
            return exitFailure;
        }
        if (!readFile(o.archive, archive)) {
            std::fprintf(stderr, "mksfx: %s: cannot read: %s\n", o.archive.c_str(), std::strerror(errno));
            return exitFailure;
        }
    } else {
        o.pack.exclude = o.output;
        nivo::PackReporter reporter("mksfx", false, 0);
        notes.onNote = [&reporter](const std::string& line) { reporter.note(line); };
        items = nivo::collectItems(o.paths, o.pack, notes);
    }

    // The file is written as it goes, under a temporary name that becomes OUTPUT's once it is
    // complete (and signed).
    std::vector<uint8_t> head = image;
    nivo::appendSettingsBlock(head, o.block ? &o.settings : nullptr);  // texts checked above
    head.insert(head.end(), archive.begin(), archive.end());
    nivo::OutputFile output;
    FILE* f = output.create(o.output);
    bool written = f && std::fwrite(head.data(), 1, head.size(), f) == head.size();
    std::string error = std::strerror(errno);
    if (written && o.archive.empty()) {
        uint64_t total = 0;
        for (const auto& item : items) total += item.size;
        nivo::PackReporter reporter("mksfx", o.verbose, total);
        notes.onNote = [&reporter](const std::string& line) { reporter.note(line); };
        reporter.follow(o.pack.builder);
        nivo::ArchiveBuilder builder(f, o.pack.builder);
        written = nivo::packItems(builder, items, notes, error,
                                  [&](const nivo::PackItem& item, uint64_t original, uint64_t packed) {
                                      reporter.member(item, original, packed);
                                      std::string name = item.name;
                                      if (item.folder) name.pop_back();
                                      names.push_back(name);
                                  }) &&
                  builder.finish(error);
        for (const std::string& line : builder.leftOut()) notes.skip(line);
        for (const std::string& line : builder.changed()) notes.warn(line);
    }
    if (written && std::fflush(f) != 0) {
        written = false;
        error = std::strerror(errno);
    }
    if (!written) {
        std::fprintf(stderr, "mksfx: %s: cannot write: %s\n", o.output.c_str(), error.c_str());
        return exitFailure;
    }
    if (o.block) {
        warnUnlessMember("--target", o.settings.shortcutTarget, names);
        warnUnlessMember("--open", o.settings.launchCommand, names);
    }
    // The signer reads the finished file and writes a signed copy that takes its place.
    if (!o.signCert.empty() && !signFile(o, output.temporary())) return exitFailure;
    if (!output.commit(error)) {
        std::fprintf(stderr, "mksfx: %s: cannot write: %s\n", o.output.c_str(), error.c_str());
        return exitFailure;
    }
    if (!notes.skipped.empty()) {
        std::fprintf(stderr, "mksfx: %s written; %zu input%s left out\n", o.output.c_str(), notes.skipped.size(),
                     notes.skipped.size() == 1 ? "" : "s");
        return exitSkipped;
    }
    return 0;
}

int main(int argc, char** argv) {
    return nivo::cli::closeStandardOutput(program, run(argc, argv), exitFailure);
}
