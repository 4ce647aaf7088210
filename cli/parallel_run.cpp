#include "cli/parallel_run.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "lzh/archive_walker.h"
#include "cli/terminal_front_end.h"
#include "common/crc16.h"
#include "common/sjis_text.h"
#include "extract/output_folders.h"
#include "platform/platform.h"
#include "platform/posix_names.h"

namespace nivo::cli {

namespace {

// A worker's progress is counted in steps of this many bytes.
constexpr uint32_t progressStep = 16384;
// How many members the walk runs ahead of the one whose turn it is, per thread: enough to keep
// every worker busy for a few milliseconds of small members while this thread waits to be
// scheduled, and few files left waiting.
constexpr size_t aheadPerThread = 32;
// When the member whose turn it is has not been decoded yet, this thread sleeps until a member
// this many places behind it is done (or the last one in flight): the workers take members in
// order, so it then finds a run of them ready, and wakes once for them all instead of once each.
constexpr size_t wakeEvery = 8;

// Turns a worker's progress positions back into bytes: its run values are set up so that one
// position is one step.
class StepCounter final : public FrontEnd {
public:
    explicit StepCounter(std::atomic<uint32_t>& b) : bytes(b) {}
    void progressPosition(uint32_t position) override {
        bytes.store(position * progressStep, std::memory_order_relaxed);
    }

private:
    std::atomic<uint32_t>& bytes;
};

struct Job {
    WalkedMember member;
    char path[pathBufferSize] = {};  // where the member goes, inside the destination
    int method = -1;
    bool forWorker = false;  // offered to the workers
    // Written by the worker, read by this thread once done is set (under the lock).
    bool done = false;
    bool decoded = false;  // result is the member's verdict
    DecodeResult result;
    int error = 0;  // errno after a member that failed
    char temp[writingPathSize] = {};  // the worker's file; empty when there is none (any more)
    bool besideMember = false;        // temp stands in the member's own folder
    dev_t device = 0;
    ino_t inode = 0;
    RunValues run;  // the worker's progress steps and its abort flag
    std::atomic<uint32_t> progressed{0};
};

using Jobs = std::deque<std::unique_ptr<Job>>;

// Whether a worker may decode the member: a file with data that the run would decode or copy.
// Everything else (folders, refused names, empty files) is done in its turn.
bool forWorkers(const ExtractionContext& context, Job& job, const MemberChoice& wanted) {
    const WalkedMember& m = job.member;
    const MemberHeader& h = m.header;
    if (m.status != HeaderStatus::member || h.originalSize == 0) return false;
    job.method = methodIndex(h);
    if (job.method < 0 || job.method == methodFolder) return false;
    if ((job.method == methodStored || job.method == methodLz4) && h.originalSize != h.compressedSize) return false;
    if (!memberOutputPath(h.name, job.path, sizeof job.path) || !job.path[0]) return false;
    if (context.windowsNames && namesDeviceOrStream(job.path)) return false;
    return wanted(h);
}

// The archive once more, with a position of its own, through /proc. None where there is no
// /proc; the members are then done in their turn.
FILE* openArchiveAgain(FILE* archive) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fileno(archive));
    return std::fopen(path, "rb");
}

// The worker's file for the member: in the deepest folder of the member's path that exists
// now, so that it can take the member's place by a rename inside one file system once the
// folders are made. Never through a link.
FILE* createWorkerFile(const ExtractionContext& context, Job& job) {
    size_t folder = 0;
    char prefix[pathBufferSize];
    for (const char* p = std::strchr(job.path, '/'); p; p = std::strchr(p + 1, '/')) {
        const auto n = static_cast<size_t>(p - job.path);
        std::memcpy(prefix, job.path, n);
        prefix[n] = '\0';
        if (platform::pathKind(prefix) != platform::PathKind::directory) break;
        folder = n + 1;
    }
    const char* slash = std::strrchr(job.path, '/');
    job.besideMember = folder == (slash ? static_cast<size_t>(slash - job.path) + 1 : 0);
    std::memcpy(job.temp, job.path, folder);
    if (FILE* f = createTemporary(context, job.temp, folder)) {
        struct stat st {};
        if (::fstat(fileno(f), &st) == 0) {
            job.device = st.st_dev;
            job.inode = st.st_ino;
        }
        return f;
    }
    job.temp[0] = '\0';
    return nullptr;
}

// Decodes the member from the worker's own handle of the archive into the worker's file (or,
// testing, into nothing), as the run on one thread does. A member that cannot be done here is
// left undecoded, for the run to do in its turn.
void decodeJob(Job& job, FILE* archive, const ExtractionContext& context) {
    const MemberHeader& h = job.member.header;
    const bool testing = context.testOnly;
    if (!archive || std::fseek(archive, job.member.dataStart, SEEK_SET) != 0) return;
    FILE* f = nullptr;
    if (!testing && !(f = createWorkerFile(context, job))) return;
    job.run.totalBytes = progressStep * 100;
    StepCounter counter(job.progressed);
    DecodeResult r = writeMemberData(archive, context.archiveEnd, f, h, job.method, context.keepMacBinary,
                                     ProgressReporter{&job.run, &counter});
    job.error = errno;  // why a write failed, for the member's turn
    if (f && r.status != DecodeStatus::complete) {
        platform::unlinkFile(job.temp);
        job.temp[0] = '\0';
    }
    job.result = r;
    job.decoded = true;
}

// Whether the worker's file is still the one it wrote: a member of the same name, put in place
// meanwhile, has taken that name (and is then no longer the worker's to delete).
bool stillWorkers(Job& job) {
    struct stat st {};
    if (job.temp[0] && ::lstat(cp932ToUtf8(job.temp).c_str(), &st) == 0 && st.st_dev == job.device &&
        st.st_ino == job.inode)
        return true;
    job.temp[0] = '\0';
    return false;
}

void dropWorkerFile(Job& job) {
    if (stillWorkers(job)) platform::unlinkFile(job.temp);
    job.temp[0] = '\0';
}

// Whether the worker's file can take the member's place as the run on one thread would have
// written it: no link on the way, the member's folders made (that run makes them before it
// decodes), and the file still the worker's.
bool placeable(ExtractionContext& context, Job& job) {
    if (!foldersAreReal(job.path)) return false;
    if (!job.besideMember && !makeParentDirectories(context, job.path)) return false;
    return !job.temp[0] || stillWorkers(job);
}

// The member's turn: the worker's verdict, or the member extracted here.
MemberResult putInPlace(ExtractionContext& context, Job& job) {
    MemberHeader& h = job.member.header;
    if (job.decoded && !context.testOnly && !placeable(context, job)) {
        dropWorkerFile(job);
        job.decoded = false;
    }
    if (!job.decoded) {
        std::fseek(context.archiveFile, job.member.dataStart, SEEK_SET);
        return extractMember(context, h);
    }
    const DecodeResult& r = job.result;
    if (r.status == DecodeStatus::aborted) return MemberResult::stop;
    if (r.status != DecodeStatus::complete) {
        errno = job.error;
        context.addProblem(h.name, problemOf(r));
    } else if (job.temp[0]) {
        const int outcome = placeMember(context, h, r, job.temp, job.path);
        job.temp[0] = '\0';
        // A file that cannot take the member's place is written here once more, which says
        // why as the run on one thread does.
        if (outcome == static_cast<int>(Problem::cannotCreate)) {
            std::fseek(context.archiveFile, job.member.dataStart, SEEK_SET);
            return extractMember(context, h);
        }
        if (outcome != memberExtracted) context.addProblem(h.name, static_cast<Problem>(outcome));
    } else {
        checkComplete(context, h, r);
    }
    return context.run.keepRunning.load() ? MemberResult::proceed : MemberResult::stop;
}

class Workers {
public:
    Workers(ExtractionContext& c, unsigned count) : context(c) {
        for (unsigned i = 0; i < count; ++i) threads.emplace_back([this] { work(); });
    }
    ~Workers() { join(); }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    void offer(Job& job) {
        job.forWorker = true;
        {
            std::lock_guard<std::mutex> l(mutex);
            ready.push_back(&job);
        }
        workCv.notify_one();
    }

    // Waits until the workers are done with job, moving the bar meanwhile by what the members
    // ahead have decoded. False when the run was aborted before job was done.
    bool await(const Job& job, const Jobs& pending) {
        std::unique_lock<std::mutex> l(mutex);
        if (job.done) return true;
        size_t behind = 0;
        for (const auto& j : pending) {
            if (!j->forWorker) continue;
            awaited = j.get();
            if (++behind == wakeEvery) break;
        }
        if (awaited->done) awaited = &job;
        while (!job.done) {
            doneCv.wait_for(l, std::chrono::milliseconds(50));
            if (job.done) break;
            // A large member may still be in work when those behind it are done.
            if (awaited->done) awaited = &job;
            if (!context.run.keepRunning.load()) return false;
            uint64_t ahead = 0;
            for (const auto& j : pending)
                if (j->forWorker)
                    ahead += j->done ? (j->decoded ? j->result.bytesWritten : 0) : j->progressed.load();
            l.unlock();
            ProgressReporter{&context.run, context.frontEnd}.report(
                static_cast<uint32_t>(ahead < UINT32_MAX ? ahead : UINT32_MAX));
            l.lock();
        }
        return true;
    }

    // Takes no more members, and aborts those being decoded.
    void stop(Jobs& pending) {
        {
            std::lock_guard<std::mutex> l(mutex);
            stopping = true;
            ready.clear();
        }
        for (auto& j : pending) j->run.keepRunning.store(0);
    }

    // Stops the workers and deletes the files of members whose turn did not come.
    void finish(Jobs& pending) {
        stop(pending);
        join();
        for (auto& j : pending) dropWorkerFile(*j);
    }

private:
    void join() {
        {
            std::lock_guard<std::mutex> l(mutex);
            stopping = true;
        }
        workCv.notify_all();
        for (std::thread& t : threads) t.join();
        threads.clear();
    }

    void work() {
        FILE* archive = openArchiveAgain(context.archiveFile);
        for (;;) {
            Job* job;
            {
                std::unique_lock<std::mutex> l(mutex);
                workCv.wait(l, [this] { return stopping || !ready.empty(); });
                if (stopping) break;
                job = ready.front();
                ready.pop_front();
            }
            decodeJob(*job, archive, context);
            bool wanted;
            {
                std::lock_guard<std::mutex> l(mutex);
                job->done = true;
                wanted = job == awaited;
            }
            // Only the member whose turn it is wakes the run.
            if (wanted) doneCv.notify_one();
        }
        if (archive) std::fclose(archive);
    }

    ExtractionContext& context;
    std::mutex mutex;
    std::condition_variable workCv, doneCv;
    std::deque<Job*> ready;
    const Job* awaited = nullptr;  // the member the run waits for
    bool stopping = false;
    std::vector<std::thread> threads;
};

}  // namespace

void runChosenMembersOnThreads(ExtractionContext& context, const MemberChoice& choose, const MemberChoice& wanted,
                               uint64_t totalBytes, unsigned threads) {
    makeCrcTable();
    context.run.totalBytes = static_cast<uint32_t>(totalBytes);
    if (threads > maxDecodingThreads) threads = maxDecodingThreads;
    ArchiveWalker walk(context);
    Jobs pending;
    Workers workers(context, threads);
    const size_t ahead = threads * aheadPerThread;
    bool walked = false;
    const MemberAction act = [&](WalkedMember&) { return putInPlace(context, *pending.front()); };
    bool aborted = false;
    for (;;) {
        while (!walked && !aborted && pending.size() < ahead) {
            auto job = std::make_unique<Job>();
            walkNext(walk, job->member);
            walked = job->member.status != HeaderStatus::member && job->member.status != HeaderStatus::nameTooLong;
            if (forWorkers(context, *job, wanted)) workers.offer(*job);
            pending.push_back(std::move(job));
        }
        if (pending.empty()) break;
        Job& job = *pending.front();
        // While the run waits for a member that a worker decodes, the bar names that member.
        if (job.forWorker)
            if (auto* terminal = dynamic_cast<TerminalFrontEnd*>(context.frontEnd))
                terminal->waitingFor(job.member.header.name);
        if (job.forWorker && !workers.await(job, pending)) break;
        // After an abort the members decoded before the first unfinished one are kept, as on
        // one thread those before the member being written are; the rest are deleted.
        if (!aborted && !context.run.keepRunning.load()) {
            aborted = true;
            workers.stop(pending);
        }
        if (aborted && !(job.forWorker && job.decoded)) break;
        if (aborted) context.run.keepRunning.store(1);
        const bool more = runMember(context, job.member, choose, act);
        if (aborted) context.run.keepRunning.store(0);
        dropWorkerFile(job);  // a member that was not chosen after all
        pending.pop_front();
        if (!more) break;
        // The member's bytes count as done, though a worker decoded them.
        ProgressReporter{&context.run, context.frontEnd}.report(0);
    }
    workers.finish(pending);
    context.frontEnd->runEnded(context.run.keepRunning.load() == 0);
}

}  // namespace nivo::cli
