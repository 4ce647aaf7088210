#include "cli/extract_command.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <set>
#include <unordered_set>

#include "lzh/member_header.h"
#include "command_line/command_line.h"
#include "cli/setup_session.h"
#include "cli/terminal_front_end.h"
#include "decode/member_decoder.h"
#include "extract/extraction_run.h"
#include "extract/member_extraction.h"
#include "platform/platform.h"
#include "platform/posix_names.h"

namespace nivo::cli {

namespace fs = std::filesystem;

namespace {

std::atomic<int>* keepRunningFlag = nullptr;

// Ctrl-C, and the requests to end that a terminal closing or a system shutting down send: the
// run stops as the abort button stops it, and the member being written is deleted.
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signal) {
    if (keepRunningFlag) keepRunningFlag->store(0);
    std::signal(signal, SIG_DFL);  // a second one ends the program at once
}

// A signal ignored when the program started (nohup ignores SIGHUP) stays ignored.
void handleStopSignals(void (*handler)(int)) {
    for (int signal : stopSignals) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        std::signal(signal, handler);
    }
}

// The members' bytes for the p command.
class StandardOutputSink final : public OutputSink {
public:
    bool write(const uint8_t* data, uint32_t count) override {
        return std::fwrite(data, 1, count, stdout) == count;
    }
};

// Whether a name is one that temporaries take: "~nivo", a number, ".tmp".
bool isTemporaryName(const char* name) {
    if (std::strncmp(name, "~nivo", 5) != 0) return false;
    const char* p = name + 5;
    while (*p >= '0' && *p <= '9') ++p;
    return p > name + 5 && std::strcmp(p, ".tmp") == 0;
}

// Removes what killed runs left in the folders the members go to (the destination and every
// folder on the way): temporaries whose writer is gone. One that a live run is writing is
// locked and never touched, nor is a member's file of such a name.
void removeLeftovers(platform::Destination at, const std::unordered_set<std::string>& memberPaths) {
    std::set<std::string> folders{""};
    for (const std::string& p : memberPaths)
        for (size_t slash = p.find('/'); slash != std::string::npos; slash = p.find('/', slash + 1))
            folders.insert(p.substr(0, slash));
    for (const std::string& folder : folders) {
        if (!folder.empty() && (!foldersAreReal(at, (folder + "/").c_str()) ||
                                platform::pathKind(at, folder.c_str()) != platform::PathKind::directory))
            continue;
        const int fd = ::openat(at.fd, folder.empty() ? "." : cp932ToUtf8(folder.c_str()).c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0) ::close(fd);
            continue;
        }
        while (const dirent* e = ::readdir(dir)) {
            if (!isTemporaryName(e->d_name)) continue;
            const std::string path = folder.empty() ? e->d_name : folder + "/" + e->d_name;
            if (!memberPaths.count(path)) platform::removeLeftover(at, path.c_str());
        }
        ::closedir(dir);
    }
}

// Bytes free for an unprivileged user in the file system that holds the open folder; -1 when
// unknown.
int64_t freeBytes(int folder) {
    struct statvfs st {};
    if (fstatvfs(folder, &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

// The destination held open for the run, closed at its end.
struct OpenDestination {
    platform::Destination at;
    OpenDestination() = default;
    OpenDestination(const OpenDestination&) = delete;
    OpenDestination& operator=(const OpenDestination&) = delete;
    ~OpenDestination() {
        if (at.fd >= 0) ::close(at.fd);
    }
};

// "1 member", "2 members".
std::string counted(int n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string megabytes(uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return buf;
}

// Decides member by member what the run writes: the chosen names, and whether an existing
// file is replaced. Remembers the folders, whose times are set once their contents are in.
class MemberChooser {
public:
    // Questions are asked through frontEnd; clearing stop ends the run.
    // Paths are looked up in the destination at.
    MemberChooser(const Options& o, MemberSelection& s, TerminalFrontEnd& f, std::atomic<int>& stop,
                  platform::Destination at)
        : options(o), selection(s), frontEnd(f), stopFlag(stop), destination(at), overwrite(o.overwrite) {
        if (overwrite == Overwrite::ask && !isatty(STDIN_FILENO)) overwrite = Overwrite::always;
    }

    bool operator()(const MemberHeader& h) {
        if (!selection.includes(cp932ToUtf8(h.name))) return false;
        if (options.command != 'x') return true;
        char path[pathBufferSize];
        if (!memberOutputPath(h.name, path, sizeof path)) return true;  // the run refuses it
        std::string onDisk = cp932ToUtf8(path);
        if (const char* target = linkTargetOf(h); target && options.noLinks) {
            ++linksLeftOut;
            if (options.verbosity != Verbosity::quiet)
                std::printf("link not made: %s -> %s\n", printableText(onDisk).c_str(), printableName(target).c_str());
            return false;
        }
        if (methodIndex(h) == methodFolder && !h.linkTarget) {
            if (h.hasModifiedTime) folders.push_back({path, h.modifiedTime});
            return true;
        }
        // Through a pipe the members are not known ahead: each must fit when its turn comes.
        if (options.streamed && !options.force && !fits(h)) return false;
        struct stat st {};
        if (fstatat(destination.fd, onDisk.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            return true;
        if (replaces(onDisk)) return true;
        ++kept;
        if (options.verbosity == Verbosity::verbose) std::printf("kept %s\n", printableText(onDisk).c_str());
        return false;
    }

    // Sets the folders' times, after everything inside them was written: only of folders
    // inside the destination, never through a link.
    void setFolderTimes() const {
        for (const Folder& f : folders)
            if (foldersAreReal(destination, f.path.c_str()) &&
                platform::pathKind(destination, f.path.c_str()) == platform::PathKind::directory)
                platform::setFileTime(destination, f.path.c_str(), f.time);
    }

    int keptFiles() const { return kept; }
    // The member that did not fit, through a pipe, and ended the run; empty when none.
    const std::string& noRoomFor() const { return tooLarge; }
    int linksNotMade() const { return linksLeftOut; }
    // Whether the run may ask about an existing file.
    bool mayAsk() const { return options.command == 'x' && overwrite == Overwrite::ask; }

private:
    struct Folder {
        std::string path;  // code page 932, as the platform takes it
        uint32_t time;
    };

    bool fits(const MemberHeader& h) {
        const int64_t room = freeBytes(destination.fd);
        if (room < 0 || h.originalSize <= static_cast<uint64_t>(room)) return true;
        tooLarge = printableName(h.name);
        std::fprintf(stderr,
                     "nivosfx: %s needs %s, but only %s are free at the destination (the input is a pipe: "
                     "free space is checked member by member; --force extracts all the same)\n",
                     tooLarge.c_str(), megabytes(h.originalSize).c_str(), megabytes(static_cast<uint64_t>(room)).c_str());
        stopFlag.store(0);
        return false;
    }

    bool replaces(const std::string& onDisk) {
        if (overwrite != Overwrite::ask) return overwrite == Overwrite::always;
        for (;;) {
            std::string a = frontEnd.ask("replace " + printableText(onDisk) + "? [y]es, [n]o, [A]ll, [N]one: ");
            if (a == "y" || a == "yes") return true;
            if (a == "n" || a == "no") return false;
            if (a == "A" || a == "all") {
                overwrite = Overwrite::always;
                return true;
            }
            if (a == "N" || a == "none" || std::cin.eof()) {
                overwrite = Overwrite::never;
                return false;
            }
        }
    }

    const Options& options;
    MemberSelection& selection;
    TerminalFrontEnd& frontEnd;
    std::atomic<int>& stopFlag;
    platform::Destination destination;
    Overwrite overwrite;
    std::vector<Folder> folders;
    int kept = 0;
    std::string tooLarge;
    int linksLeftOut = 0;
};

// Threads pay off on many members: by default, a run of one member or of a small total stays
// on one thread. p writes the members in order to one stream, and stays on one too.
unsigned decodingThreads(const Options& o, int members, uint64_t total) {
    constexpr uint64_t smallRun = 1000000;
    if (o.command == 'p' || members < 2) return 1;
    if (o.threads) return o.threads;
    return total < smallRun ? 1 : platform::processorCount();
}

}  // namespace

int runExtraction(ExtractionContext& context, Options& o, SetupSettings& settings, MemberSelection& selection) {
    const bool extracting = o.command == 'x';
    const bool quiet = o.verbosity == Verbosity::quiet;
    std::string destination = o.destination;
    if (extracting && settings.present) {
        destination = playSetup(settings, o);
        if (destination.empty()) return exitUsage;  // refused, and said why
    }
    fs::path destPath = destination.empty() ? fs::current_path() : fs::path(destination);
    // Which members the names choose, without counting them as matches, and where every member
    // goes: no temporary takes such a name. A pipe is not walked ahead, so there only the names
    // of the members met so far are known.
    struct Named {
        MemberSelection wanted;
        std::unordered_set<std::string> memberPaths;
        bool includes(const MemberHeader& h) { return wanted.includes(cp932ToUtf8(h.name)); }
    } named{selection, {}};
    RunChoices measuring;
    measuring.user = &named;
    measuring.wanted = [](void* user, const MemberHeader& h) {
        auto* n = static_cast<Named*>(user);
        char path[pathBufferSize];
        if (memberOutputPath(h.name, path, sizeof path)) n->memberPaths.insert(path);
        return n->includes(h);
    };
    int members = 0;
    std::unordered_set<std::string>& memberPaths = named.memberPaths;
    const uint64_t total = o.streamed ? 0 : measureChosen(context, measuring, &members);

    // The run reaches every path from the destination held open; the current folder is never
    // changed.
    OpenDestination destinationFolder;
    if (extracting) {
        std::error_code ec;
        fs::create_directories(destPath, ec);
        if (!ec && !fs::is_directory(destPath)) ec = std::make_error_code(std::errc::not_a_directory);
        if (!ec && (destinationFolder.at.fd = ::open(destPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
            ec = std::error_code(errno, std::generic_category());
        if (ec) {
            std::fprintf(stderr, "nivosfx: cannot create the destination %s: %s\n", printableText(destPath).c_str(),
                         ec.message().c_str());
            return exitProblems;
        }
        // The destination named as the system resolves it, links and ".." taken away.
        if (fs::path resolved = fs::canonical(destPath, ec); !ec) destPath = resolved;
        ExtractionContext::replaceText(context.destinationDir, destPath.c_str());
        context.destination = destinationFolder.at;
        int64_t room = freeBytes(destinationFolder.at.fd);
        if (room >= 0 && !o.streamed && total > static_cast<uint64_t>(room) && !o.force) {
            std::fprintf(stderr,
                         "nivosfx: %s: the members need %s, but only %s are free there (--force extracts "
                         "all the same)\n",
                         printableText(destPath).c_str(), megabytes(total).c_str(),
                         megabytes(static_cast<uint64_t>(room)).c_str());
            return exitDiskFull;
        }
    }
    context.testOnly = !extracting;
    StandardOutputSink standardOutput;

    const char* term = std::getenv("TERM");
    const bool showProgress = isatty(STDERR_FILENO) && !(term && std::strcmp(term, "dumb") == 0) && !quiet &&
                              o.command != 'p';
    const bool listEach = o.verbosity == Verbosity::verbose && o.command != 'p';
    TerminalFrontEnd frontEnd(showProgress, listEach, o.command == 't', total);
    MemberChooser chooser(o, selection, frontEnd, context.run.keepRunning, context.destination);
    frontEnd.stopFlag = &context.run.keepRunning;
    context.frontEnd = &frontEnd;
    keepRunningFlag = &context.run.keepRunning;
    handleStopSignals(onStopSignal);
    struct Chooser {
        Named& named;
        TerminalFrontEnd& frontEnd;
        MemberChooser& chooser;
    } chooserHooks{named, frontEnd, chooser};
    RunChoices choices;
    choices.user = &chooserHooks;
    choices.choose = [](void* user, const MemberHeader& h) {
        auto* c = static_cast<Chooser*>(user);
        c->frontEnd.finishMemberLine();
        return c->chooser(h);
    };
    choices.wanted = [](void* user, const MemberHeader& h) {
        return static_cast<Chooser*>(user)->named.includes(h);
    };
    choices.print = o.command == 'p' ? &standardOutput : nullptr;
    // Questions stay on one thread: none may come after Ctrl-C, while members decoded ahead
    // are put in place.
    choices.threads = chooser.mayAsk() ? 1 : decodingThreads(o, members, total);
    context.isMemberPath = [&memberPaths](const char* path) { return memberPaths.count(path) != 0; };
    runMembers(context, choices, total);
    handleStopSignals(SIG_DFL);
    keepRunningFlag = nullptr;
    context.isMemberPath = nullptr;
    if (extracting) {
        removeLeftovers(context.destination, memberPaths);
        chooser.setFolderTimes();
    }
    if (o.command == 'p' && std::fflush(stdout) != 0)
        context.addProblem("(standard output)", Problem::writeFailed);

    bool aborted = context.run.keepRunning.load() == 0;
    int problems = context.problems.count;
    if (!chooser.noRoomFor().empty()) return exitDiskFull;
    if (const int error = frontEnd.destinationFailure()) {
        // Stopped at the first member the destination could not take: one line for the rest.
        const int written = frontEnd.members() - problems;
        std::fprintf(stderr, "nivosfx: %s: %s; stopped, ", printableText(destPath).c_str(), std::strerror(error));
        if (o.streamed)
            std::fprintf(stderr, "the members from the one named on were not written\n");
        else
            std::fprintf(stderr, "%s of %d not written\n", counted(members - written, "member").c_str(), members);
        return error == EROFS ? exitProblems : exitDiskFull;
    }
    if (aborted) {
        std::fprintf(stderr, "nivosfx: interrupted; the member being written was deleted, any old file of its name kept\n");
        return exitInterrupted;
    }
    for (const std::string& name : selection.unmatched())
        std::fprintf(stderr, "nivosfx: %s: no member matches\n", printableText(name).c_str());
    if (problems) {
        std::fprintf(stderr, "nivosfx: %s in %s\n", counted(problems, "problem").c_str(),
                     counted(frontEnd.members(), "member").c_str());
    } else if (quiet || o.command == 'p') {
    } else if (o.command == 't') {
        std::printf("No errors in %s\n", counted(frontEnd.members(), "member").c_str());
    } else {
        std::printf("Extracted %s into %s", counted(frontEnd.members(), "member").c_str(),
                    printableText(destPath).c_str());
        if (chooser.keptFiles()) std::printf("; kept %s", counted(chooser.keptFiles(), "existing file").c_str());
        if (chooser.linksNotMade())
            std::printf("; %s not made (--no-links)", counted(chooser.linksNotMade(), "link").c_str());
        std::printf("\n");
    }
    const bool opened = !(extracting && settings.present && !quiet) ||
                        reportAfterSetup(settings, destPath, problems == 0, o.open);
    if (problems) return frontEnd.sawWriteFailure() ? exitDiskFull : exitProblems;
    if (!opened) return exitProblems;
    return selection.unmatched().empty() ? exitOk : exitNoMatch;
}

}  // namespace nivo::cli
