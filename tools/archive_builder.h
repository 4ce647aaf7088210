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

struct PackOptions {
    int method = 0;  // 0 stores every file; 5, 6 or 7 compresses
    EncoderOptions encoder;
    unsigned threads = 0;  // compressing threads; 0 for one per core
    int headerLevel = 2;
};

// The most memory the builder holds with that many threads: segments under way and the
// encoders' tables.
size_t builderMemoryBound(unsigned threads);

// One thread per core, at least one.
unsigned defaultThreads();

class ArchiveBuilder {
public:
    // out must be seekable (headers are completed in place); the archive starts at its
    // current position.
    ArchiveBuilder(FILE* out, const PackOptions& options);
    ~ArchiveBuilder();
    ArchiveBuilder(const ArchiveBuilder&) = delete;
    ArchiveBuilder& operator=(const ArchiveBuilder&) = delete;

    // The method (0 stores; 5, 6 or 7 compresses) and level for the files added from now on.
    void setCompression(int method, int level);

    // A folder entry; name in code page 932, ending in "/".
    bool addFolder(const std::string& name, uint32_t unixTime, std::string& error);
    // The file at path as the member name. A file that cannot be read leaves nothing behind
    // in the archive; error names it with the reason.
    bool addFile(const std::string& path, const std::string& name, uint32_t unixTime, std::string& error);
    // Writes everything still under way and the end mark. False when the output cannot be
    // written; every later call fails too.
    bool finish(std::string& error);
    // Members that were added but had to be left out after all (a file that changed while it
    // was packed), one message each.
    const std::vector<std::string>& leftOut() const { return problems; }

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
    PackOptions options;
    bool failed = false;
    std::string writeError;
    std::vector<std::string> problems;
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
