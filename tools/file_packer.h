// Packs files and folders from the file system into an LZH archive with level-2 headers, shared
// by mklzh and mksfx. Files are stored or compressed with -lh5-, -lh6- or -lh7- (stored when
// that does not make them smaller); folders become folder entries followed by everything below
// them, in name order. Names are stored in code page 932 with "/" between components; each
// member keeps its modification time and Unix permissions.
//
// Packing is two steps. collectItems walks the arguments and decides every name before a byte
// is read: names that Windows or code page 932 cannot hold are refused, each with one line, and
// the rest goes on. packItems then reads and packs the items in order, through an
// ArchiveBuilder that compresses on all cores and writes as it goes; a file that cannot be read
// is named and left out, and the archive is still written.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/archive_builder.h"

namespace nivo {

struct PackOptions {
    int methodIndex = 7;       // 0 stores every file; 5, 6 or 7 compresses (unless the input says)
    // Compression level and threads; builder.followLinks packs what symbolic links point to,
    // else a link is stored as a link member (a folder entry "name|target"). mksfx follows,
    // since the Windows program makes no links.
    BuilderOptions builder;
    // A name that Shift-JIS cannot hold is stored with "_" for what does not convert, beside
    // its UTF-16 form (extended headers 0x44 and 0x45); else it is refused.
    bool unicodeNames = false;
    std::string exclude;       // a file never packed, such as the archive being written
    bool windowsNames = true;  // refuse names that Windows cannot hold; else pack them with a warning
};

// One file or folder to pack, in archive order.
struct PackItem {
    std::string path;    // where to read it
    std::string name;    // in the archive: code page 932, "/" between components; folders end in "/"
    std::string shown;   // the same name in UTF-8, for messages
    std::string unicodeName;  // UTF-8, when Shift-JIS cannot hold the name (see unicodeNames)
    std::string linkTarget;   // a symbolic link's target as stored, code page 932
    bool folder = false;
    bool link = false;
    int methodIndex = 0;
    uint32_t mtime = 0;  // UTC seconds
    uint16_t mode = 0;   // st_mode: type and permission bits
    uint64_t size = 0;   // bytes, for progress
};

// What a run has to say besides the archive, one line per entry, without the program's name.
struct PackNotes {
    std::vector<std::string> warnings;  // the archive is as asked: names shortened, links left out
    std::vector<std::string> skipped;   // inputs left out of the archive
    std::function<void(const std::string&)> onNote;  // called with every line as it comes
    bool quiet = false;  // warnings are kept, not told
    void warn(const std::string& line);
    void skip(const std::string& line);
};

// A path as given on the command line, with the folder it is relative to (empty: the current
// one). "." stands for the folder's contents without its name.
struct PackInput {
    std::string base;
    std::string path;
    int methodIndex = -1;  // -1: the options' method
};

// Walks the inputs and lists what to pack. Leading "/" and ".." components are taken off the
// names with a warning per input.
std::vector<PackItem> collectItems(const std::vector<PackInput>& inputs, const PackOptions& options,
                                   PackNotes& notes);

// Why a name cannot be stored (UTF-8 name, "/" between components), or empty when it can;
// cp932 then holds its code page 932 form. With unicode (not null), a character that Shift-JIS
// cannot hold, or turns into another, becomes "_" in cp932 and *unicode is set to the name;
// else such a name is refused. windows: also refuse what Windows cannot hold.
std::string refuseName(const std::string& name, std::string& cp932, std::string* unicode = nullptr,
                       bool windows = true);

// Why Windows cannot hold the name (UTF-8, "/" between components), or empty.
std::string windowsNameProblem(const std::string& name);

// Called after each member is written: the item, its original size and the bytes its data
// took in the archive.
using PackedMember = std::function<void(const PackItem&, uint64_t original, uint64_t packed)>;

// Adds the items to archive in order; the caller finishes it. False with the reason in error
// when the archive cannot be written.
bool packItems(ArchiveBuilder& archive, const std::vector<PackItem>& items, PackNotes& notes,
               std::string& error, const PackedMember& packed = {});

// The compression level of an option -1 (fastest) to -9 (smallest), or 0 for another
// argument.
int packLevelOption(const std::string& arg);

// The lines of --help that describe -m, the levels, --threads and the memory that packing
// takes; both tools print them. tool is the program's name.
std::string packOptionsHelp(const std::string& tool);

// The method index of a method name the packer writes ("lh0", "lh5", "lh6", "lh7", with or
// without the dashes of "-lh5-"), or -1.
int packMethodIndex(const std::string& name);

// What mklzh and mksfx print: notes as they come, "adding: name (ratio)" lines with verbose,
// and on a terminal a progress line that is cleared at the end.
class PackReporter {
public:
    PackReporter(const char* program, bool verbose, uint64_t totalBytes);
    ~PackReporter();
    void note(const std::string& line);
    void member(const PackItem& item, uint64_t original, uint64_t packed);
    // Part of a file is in the archive: a big file shows progress before it is done.
    void advance(const std::string& cp932Name, uint64_t bytes);
    // Sends the builder's progress here.
    void follow(BuilderOptions& options);

private:
    void clearProgress();
    void show(const std::string& name);
    const char* program_;
    bool verbose_;
    bool terminal_;
    uint64_t total_;
    uint64_t done_ = 0;
    uint64_t partial_ = 0;  // of the file being written
    bool progressShown_ = false;
    std::chrono::steady_clock::time_point lastShown_;
};

}  // namespace nivo
