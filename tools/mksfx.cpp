// mksfx: builds a self-extracting file: the 19968-byte Windows program image, the settings
// block, and an LZH archive, back to back.
//
// The settings block, all numbers single bytes, texts code page 932 without a terminator:
//   present marker (1; a file without settings has the single byte 0 here)
//   title length, title
//   Program Files flag
//   destination length, destination
//   shortcut target length, shortcut target
//   Start menu, Desktop and Send To option bytes (bit 0 offered, bit 1 chosen)
//   length and path of the file to open after a finished run
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/command_line.h"
#include "platform/posix_names.h"
#include "tools/file_packer.h"
#include "tools/lzh_writer.h"

namespace {

constexpr size_t imageSize = 19968;

const char usage[] =
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
    "  --settings            write a settings block even when no setting is given\n"
    "  --no-settings         write no settings block: the program unpacks into the current\n"
    "                        directory without asking (the default when no setting is given)\n"
    "OPTION is never (0), offered (1), always (2), checked (3: offered and chosen), or a\n"
    "number from 0 to 255: bit 0 enables the check box, bit 1 checks it.\n"
    "\n"
    "  -m, --method METHOD   for files packed here: lh0 (stored, the default), lh5, lh6 or\n"
    "                        lh7; a file that does not get smaller is stored\n"
    "  --stub FILE           the program image (default: sfx.exe next to mksfx, else the\n"
    "                        build's)\n"
    "  -h, --help            this text\n"
    "  --version             the program's version\n"
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written, 10 for bad usage.\n";

constexpr int exitFailure = 1;
const nivo::cli::Program program{"mksfx", usage};

struct Settings {
    bool given = false;  // any setting on the command line
    std::string title, destination, target, open;  // code page 932
    bool programFiles = false;
    uint8_t options[3] = {0, 0, 0};  // Start menu, Desktop, Send To
};

struct Options {
    Settings settings;
    int block = -1;  // -1: present when any setting is given; 0: absent; 1: present
    std::string stub, output, archive, base;
    std::vector<std::string> paths;
    int method = 0;  // for files packed here: 0 stored, 5 to 7 compressed
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
    static const char* const names[] = {"never", "offered", "always", "checked"};
    for (int i = 0; i < 4; ++i)
        if (text == names[i]) {
            value = static_cast<uint8_t>(i);
            return true;
        }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || v < 0 || v > 255) return false;
    value = static_cast<uint8_t>(v);
    return true;
}

// The stub next to this program, else the one the build made.
std::string defaultStub() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.rfind('/') + 1);
        std::string beside = dir + "sfx.exe";
        if (access(beside.c_str(), R_OK) == 0) return beside;
    }
    return NIVO_DEFAULT_STUB;
}

// Parses the command line; returns -1 to go on, else the exit code.
int parseArguments(int argc, char** argv, Options& o) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto positional = [&](const std::string& a) {
        if (o.output.empty())
            o.output = a;
        else
            o.paths.push_back(a);
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
            if (out.size() > 255) return usageError(a + ": longer than 255 bytes in code page 932");
            o.settings.given = true;
            return -1;
        };
        auto option = [&](uint8_t& out) {
            std::string v;
            if (!value(v) || !parseOption(v, out))
                return usageError(a + " needs never, offered, always, checked or 0 to 255");
            o.settings.given = true;
            return -1;
        };
        int r = -1;
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--version") {
            nivo::cli::printVersion(program);
            return 0;
        } else if (a == "--title") {
            r = text(o.settings.title);
        } else if (a == "--destination") {
            r = text(o.settings.destination);
        } else if (a == "--target") {
            r = text(o.settings.target);
        } else if (a == "--open") {
            r = text(o.settings.open);
        } else if (a == "--program-files") {
            o.settings.programFiles = o.settings.given = true;
        } else if (a == "--start-menu") {
            r = option(o.settings.options[0]);
        } else if (a == "--desktop") {
            r = option(o.settings.options[1]);
        } else if (a == "--send-to") {
            r = option(o.settings.options[2]);
        } else if (a == "--settings" || a == "--no-settings") {
            int want = a == "--settings" ? 1 : 0;
            if (o.block != -1 && o.block != want) return usageError("--settings and --no-settings together");
            o.block = want;
        } else if (a == "--stub") {
            if (!value(o.stub)) return usageError("--stub needs a file");
        } else if (a == "--archive") {
            if (!value(o.archive)) return usageError("--archive needs a file");
        } else if (a == "-C") {
            if (!value(o.base)) return usageError("-C needs a folder");
        } else if (a == "--method" || a == "-m") {
            std::string m;
            if (!value(m) || (o.method = nivo::packMethodIndex(m)) < 0)
                return usageError(a + " needs lh0, lh5, lh6 or lh7");
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
    if (o.block == 0 && o.settings.given) return usageError("--no-settings with settings");
    if (o.block == -1) o.block = o.settings.given ? 1 : 0;
    return -1;
}

void appendText(std::vector<uint8_t>& out, const std::string& text) {
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

std::vector<uint8_t> settingsBlock(const Options& o) {
    std::vector<uint8_t> block;
    if (!o.block) {
        block.push_back(0);
        return block;
    }
    const Settings& s = o.settings;
    block.push_back(1);
    appendText(block, s.title);
    block.push_back(s.programFiles ? 1 : 0);
    appendText(block, s.destination);
    appendText(block, s.target);
    block.insert(block.end(), s.options, s.options + 3);
    appendText(block, s.open);
    return block;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int r = parseArguments(argc, argv, o);
    if (r != -1) return r;

    if (o.stub.empty()) o.stub = defaultStub();
    std::vector<uint8_t> image;
    if (!readFile(o.stub, image)) {
        std::fprintf(stderr, "mksfx: %s: cannot read the program image\n", o.stub.c_str());
        return exitFailure;
    }
    if (image.size() != imageSize) {
        std::fprintf(stderr, "mksfx: %s: the program image is %zu bytes, not %zu\n", o.stub.c_str(),
                     image.size(), imageSize);
        return exitFailure;
    }

    std::vector<uint8_t> archive;
    if (!o.archive.empty()) {
        if (!readFile(o.archive, archive)) {
            std::fprintf(stderr, "mksfx: %s: cannot read\n", o.archive.c_str());
            return exitFailure;
        }
    } else {
        for (std::string rel : o.paths) {
            while (rel.size() > 1 && rel.back() == '/') rel.pop_back();
            std::string error;
            if (!nivo::packPath(archive, o.base, rel, error, o.method)) {
                std::fprintf(stderr, "mksfx: %s\n", error.c_str());
                return exitFailure;
            }
        }
        nivo::appendEndMark(archive);
    }

    std::vector<uint8_t> file = image;
    std::vector<uint8_t> block = settingsBlock(o);
    file.insert(file.end(), block.begin(), block.end());
    file.insert(file.end(), archive.begin(), archive.end());

    std::string temporary = o.output + ".part";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    bool written = f && std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (f && std::fclose(f) != 0) written = false;
    if (!written || std::rename(temporary.c_str(), o.output.c_str()) != 0) {
        std::fprintf(stderr, "mksfx: %s: cannot write: %s\n", o.output.c_str(), std::strerror(errno));
        std::remove(temporary.c_str());
        return exitFailure;
    }
    return 0;
}
