// The whole extraction run, with the input as a plain archive, into a destination folder given
// as an open folder: once on one thread, as the Windows program runs it, and once on worker
// threads as the extractor does, which must write the same files and list the same problems.
// The destination sits at the bottom of a chain of folders that hold nothing else, and the
// current folder is the chain's top, so that a member climbing out by any number of levels up
// to the chain's depth, or a path taken from the current folder, leaves a trace; after every
// run the chain is checked and the destination emptied.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "extract/extraction_run.h"
#include "tests/fuzz/fuzz_support.h"

using namespace nivo;
namespace fs = std::filesystem;

namespace {

constexpr int chainDepth = 8;
fs::path root;         // top of the chain, made fresh for this process
fs::path destination;  // its bottom
int destinationFolder = -1;  // the destination, open

// What a run left in the destination: every path with its kind and size.
using Tree = std::map<std::string, uintmax_t>;

// Each folder of the chain holds exactly the next one, and the destination holds only real
// files, folders and links (with whatever target the archive gave): nothing was written
// outside it, through a link or otherwise. Returns what the destination held.
Tree checkAndClean() {
    fs::path p = root;
    for (int i = 0; i < chainDepth; ++i) {
        int entries = 0;
        for (const auto& e : fs::directory_iterator(p)) {
            (void)e;
            ++entries;
        }
        FUZZ_CHECK(entries == 1);
        p /= "up";
    }
    FUZZ_CHECK(fs::is_directory(fs::symlink_status(destination)));
    Tree tree;
    for (const auto& e : fs::recursive_directory_iterator(destination)) {
        fs::file_status st = e.symlink_status();
        FUZZ_CHECK(fs::is_regular_file(st) || fs::is_directory(st) || fs::is_symlink(st));
        tree[fs::relative(e.path(), destination).string()] = fs::is_regular_file(st) ? e.file_size() + 2
                                                             : fs::is_directory(st)  ? 1
                                                                                     : 0;
    }
    for (const auto& e : fs::directory_iterator(destination)) fs::remove_all(e.path());
    return tree;
}

// The input as a file with a descriptor of its own, which the workers open once more.
FILE* fileOver(const uint8_t* data, size_t size) {
    const int fd = memfd_create("archive", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return nullptr;
    }
    return fdopen(fd, "rb");
}

// The problems of a run, in order, as the end-of-run message has them.
std::string problemsOf(const ExtractionContext& context) {
    std::string all = std::to_string(context.problems.count);
    for (int i = 0; i < context.problems.count && i < ProblemList::kept; ++i)
        all += std::string("|") + context.problems.entries[i].name + ":" +
               std::to_string(static_cast<int>(context.problems.entries[i].problem));
    return all;
}

void removeRoot() {
    std::error_code ec;
    fs::remove_all(root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string base = (fs::temp_directory_path() / "nivo-fuzz-XXXXXX").string();
    if (!mkdtemp(base.data())) std::abort();
    root = base;
    destination = root;
    for (int i = 0; i < chainDepth; ++i) destination /= "up";
    fs::create_directories(destination);
    destinationFolder = open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (destinationFolder < 0 || chdir(root.c_str()) != 0) std::abort();
    std::atexit(removeRoot);
    // A few bytes can describe gigabytes of valid output. Cap every file written; the writes
    // past the cap fail, and the run must then list the member and delete what it wrote.
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = 1 << 20;
    setrlimit(RLIMIT_FSIZE, &limit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The failing write must not end the process by its signal. libFuzzer installs its own
    // handler after the initialisation above, so the signal is ignored here.
    static const bool ignored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)ignored;
    FILE* f = fuzz::streamOver(data, size);
    if (!f) return 0;
    std::string problems;
    {
        ExtractionContext context;
        context.archiveFile = f;
        context.destination.fd = destinationFolder;
        ExtractionContext::replaceText(context.destinationDir, destination.c_str());
        extractionRun(context);
        problems = problemsOf(context);
    }
    const Tree written = checkAndClean();

    f = fileOver(data, size);
    if (!f) return 0;
    {
        ExtractionContext context;
        context.archiveFile = f;
        context.destination.fd = destinationFolder;
        ExtractionContext::replaceText(context.destinationDir, destination.c_str());
        RunChoices choices;
        choices.threads = 2;
        runMembers(context, choices, measureChosen(context, choices));
        FUZZ_CHECK(problemsOf(context) == problems);
    }
    FUZZ_CHECK(checkAndClean() == written);
    return 0;
}
