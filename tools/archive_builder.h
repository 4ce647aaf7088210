// Writes an LZH archive to a file as it goes. Files are read in segments that worker threads
// compress, one per core, while the archive is written in order behind them: each member's
// header first, with its sizes filled in once its data is out. Memory stays bounded whatever
// the size of the files: a few segments per thread are under way at any time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/lzh_encoder.h"
#include "tools/lzh_writer.h"

namespace nivo {

struct BuilderOptions {
    EncoderOptions encoder;
    unsigned threads = 0;  // compressing threads; 0 for one per core
    // Called as a file's data goes out, a segment at a time: the member's name (code page 932)
    // and the bytes of the file that segment held.
    std::function<void(const std::string& name, uint64_t bytes)> progress;
    // Pack what symbolic links point to; else a link is stored as a link member, and a file is
    // never opened through one.
    bool followLinks = false;
};

// Called once a member is in the archive, with its original size and the bytes its data took.
using MemberWritten = std::function<void(uint64_t original, uint64_t packed)>;

// The most memory the builder holds with that many threads: segments under way and the
// encoders' tables.
size_t builderMemoryBound(unsigned threads);

// One thread per core, at least one.
unsigned defaultThreads();

class ArchiveBuilder {
public:
    // out must be seekable (headers are completed in place); the archive starts at its
    // current position.
    ArchiveBuilder(FILE* out, const BuilderOptions& options);
    ~ArchiveBuilder();
    ArchiveBuilder(const ArchiveBuilder&) = delete;
    ArchiveBuilder& operator=(const ArchiveBuilder&) = delete;

    // A folder entry (see folderMember).
    bool addFolder(const LzhMember& entry, std::string& error, MemberWritten written = {});
    // The file at path as a member with the name, time, mode and header level of info,
    // compressed with the method (0 stores; 4 to 7 compress) at the level of the options. A
    // file that cannot be read, or is not a regular file, leaves nothing behind in the
    // archive; error holds the reason. At most listedSize bytes are read; a file that then
    // holds more or fewer is packed as read, and named in changed().
    bool addFile(const std::string& path, const LzhMember& info, int method, std::string& error,
                 MemberWritten written = {}, uint64_t listedSize = UINT64_MAX);
    // True once the output could not be written; every later call fails.
    bool failedToWrite() const { return failed; }
    // Writes everything still under way and the end mark. False when the output cannot be
    // written; every later call fails too.
    bool finish(std::string& error);
    // Members that were added but had to be left out after all (a file that changed while it
    // was packed), one message each.
    const std::vector<std::string>& leftOut() const { return problems; }
    // Files whose size changed between the listing and the packing, one message each.
    const std::vector<std::string>& changed() const { return changes; }

private:
    struct Segment;
    struct Member;
    // What is written next: a member's header, one segment of its data, or its end.
    enum class Step { header, segment, end };
    struct Item {
        Step step;
        std::shared_ptr<Member> member;
        std::shared_ptr<Segment> segment;
    };

    void startWorkers();
    void submit(const std::shared_ptr<Segment>& s);
    void queueItem(Item item);
    bool writeNext();
    bool drain(size_t keep);
    bool writeBytes(const uint8_t* p, size_t n);
    bool completeMember(Member& m);
    bool storeAgain(Member& m);
    bool rollBack(const Member& m);

    FILE* out;
    BuilderOptions options;
    bool failed = false;
    std::string writeError;
    std::vector<std::string> problems;
    std::vector<std::string> changes;
    std::deque<Item> pending;  // in archive order
    size_t segmentsPending = 0;
    size_t maxPending;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Segment>> work;
    std::vector<std::thread> workers;
    bool stopping = false;
};

}  // namespace nivo
