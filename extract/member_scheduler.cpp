#include "extract/member_scheduler.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "lzh/archive_walker.h"
#include "extract/output_folders.h"
#include "platform/platform.h"

namespace nivo {

namespace {

// How many members the walk runs ahead of the one whose turn it is, per thread: enough to keep
// every worker busy for a few milliseconds of small members while this thread waits to be
// scheduled, and few files left waiting.
constexpr size_t aheadPerThread = 32;
// When the member whose turn it is has not been decoded yet, this thread sleeps until a member
// this many places behind it is done (or the last one in flight): the workers take members in
// order, so it then finds a run of them ready, and wakes once for them all instead of once each.
constexpr size_t wakeEvery = 8;

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
    platform::FileIdentity identity;  // temp's file
    RunValues run;  // the worker's abort flag
    std::atomic<uint64_t> progressed{0};  // the bytes decoded so far
};

using Jobs = std::deque<std::unique_ptr<Job>>;

// Whether a worker may decode the member: a file with data that the run would decode or copy,
// as the run's plan for it says. Everything else (folders, refused names, empty files) is done
// in its turn.
bool forWorkers(const ExtractionContext& context, Job& job, const RunChoices& choices) {
    const MemberHeader& h = job.member.header;
    if (job.member.status != HeaderStatus::member || h.originalSize == 0) return false;
    const MemberPlan plan = planMember(context, h, job.path);
    if (plan.kind != MemberPlan::file) return false;
    job.method = plan.method;
    return !choices.wanted || choices.wanted(choices.user, h);
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
        if (platform::pathKind(context.destination, prefix) != platform::PathKind::directory) break;
        folder = n + 1;
    }
    const char* slash = std::strrchr(job.path, '/');
    job.besideMember = folder == (slash ? static_cast<size_t>(slash - job.path) + 1 : 0);
    std::memcpy(job.temp, job.path, folder);
    if (FILE* f = createTemporary(context, job.temp, folder)) {
        platform::identityOf(f, job.identity);
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
    if (!archive || !platform::seekFile(archive, job.member.dataStart)) return;
    FILE* f = nullptr;
    if (!testing && !(f = createWorkerFile(context, job))) return;
    // The worker's run values carry its abort flag; its progress is the bytes it counts.
    DecodeResult r = writeMemberData(archive, context.archiveEnd, f, h, job.method, context.keepMacBinary,
                                     ProgressReporter{&job.run, nullptr}, &job.progressed);
    job.error = errno;  // why a write failed, for the member's turn
    if (f && r.status != DecodeStatus::complete) {
        platform::unlinkFile(context.destination, job.temp);
        job.temp[0] = '\0';
    }
    job.result = r;
    job.decoded = true;
}

// Whether the worker's file is still the one it wrote: a member of the same name, put in place
// meanwhile, has taken that name (and is then no longer the worker's to delete).
bool stillWorkers(platform::Destination at, Job& job) {
    if (job.temp[0] && platform::pathIs(at, job.temp, job.identity)) return true;
    job.temp[0] = '\0';
    return false;
}

void dropWorkerFile(platform::Destination at, Job& job) {
    if (stillWorkers(at, job)) platform::unlinkFile(at, job.temp);
    job.temp[0] = '\0';
}

// Whether the worker's file can take the member's place as the run on one thread would have
// written it: no link on the way, the member's folders made (that run makes them before it
// decodes), and the file still the worker's.
bool placeable(ExtractionContext& context, Job& job) {
    if (!foldersAreReal(context.destination, job.path)) return false;
    if (!job.besideMember && !makeParentDirectories(context, job.path)) return false;
    return !job.temp[0] || stillWorkers(context.destination, job);
}

// The member's turn: the worker's verdict, or the member extracted here.
MemberOutcome putInPlace(ExtractionContext& context, Job& job) {
    const MemberHeader& h = job.member.header;
    if (job.decoded && !context.testOnly && !placeable(context, job)) {
        dropWorkerFile(context.destination, job);
        job.decoded = false;
    }
    if (!job.decoded) {
        platform::seekFile(context.archiveFile, job.member.dataStart);
        return extractMember(context, h);
    }
    const DecodeResult& r = job.result;
    if (r.status == DecodeStatus::aborted) return memberAborted;
    if (r.status != DecodeStatus::complete) {
        errno = job.error;
        return memberFailed(problemOf(r));
    }
    if (!job.temp[0]) {
        checkComplete(context, h, r);
        return memberExtracted;
    }
    const int problemsBefore = context.problems.count;
    const MemberOutcome outcome = placeMember(context, h, r, job.temp, job.path);
    job.temp[0] = '\0';
    // A complete file that cannot take the member's place is written here once more, which
    // says why as the run on one thread does. One that failed a check has had that listed, as
    // that run lists it before it puts the file in place; it is not listed twice.
    if (outcome.kind == MemberOutcome::failed && outcome.problem == Problem::cannotCreate &&
        context.problems.count == problemsBefore) {
        platform::seekFile(context.archiveFile, job.member.dataStart);
        return extractMember(context, h);
    }
    return outcome;
}

MemberOutcome frontJobsTurn(void* pending, ExtractionContext& context, WalkedMember&) {
    return putInPlace(context, *static_cast<Jobs*>(pending)->front());
}

class Workers {
public:
    Workers(ExtractionContext& c, unsigned count) : context(c) {
        for (unsigned i = 0; i < count; ++i) {
            auto thread = std::make_unique<platform::Thread>();
            if (!thread->start([](void* w) { static_cast<Workers*>(w)->work(); }, this)) break;
            threads.push_back(std::move(thread));
        }
    }
    ~Workers() { join(); }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Gives the job to the workers; none when no thread could be started, and the member is
    // then done in its turn.
    void offer(Job& job) {
        if (threads.empty()) return;
        job.forWorker = true;
        {
            platform::Locked l(mutex);
            ready.push_back(&job);
        }
        workCv.notifyOne();
    }

    // Waits until the workers are done with job, moving the bar meanwhile by what the members
    // ahead have decoded. False when the run was aborted before job was done.
    bool await(const Job& job, const Jobs& pending) {
        platform::Locked l(mutex);
        if (job.done) return true;
        size_t behind = 0;
        for (const auto& j : pending) {
            if (!j->forWorker) continue;
            awaited = j.get();
            if (++behind == wakeEvery) break;
        }
        if (awaited->done) awaited = &job;
        while (!job.done) {
            doneCv.waitFor(mutex, 50);
            if (job.done) break;
            // A large member may still be in work when those behind it are done.
            if (awaited->done) awaited = &job;
            if (!context.run.keepRunning.load()) return false;
            uint64_t ahead = 0;
            for (const auto& j : pending)
                if (j->forWorker)
                    ahead += j->done ? (j->decoded ? j->result.bytesWritten : 0) : j->progressed.load();
            mutex.unlock();
            ProgressReporter{&context.run, context.frontEnd}.report(
                static_cast<uint32_t>(ahead < UINT32_MAX ? ahead : UINT32_MAX));
            mutex.lock();
        }
        return true;
    }

    // Takes no more members, and aborts those being decoded.
    void stop(Jobs& pending) {
        {
            platform::Locked l(mutex);
            stopping = true;
            ready.clear();
        }
        for (auto& j : pending) j->run.keepRunning.store(0);
    }

    // Stops the workers and deletes the files of members whose turn did not come.
    void finish(Jobs& pending) {
        stop(pending);
        join();
        for (auto& j : pending) dropWorkerFile(context.destination, *j);
    }

private:
    void join() {
        {
            platform::Locked l(mutex);
            stopping = true;
        }
        workCv.notifyAll();
        for (auto& t : threads) t->join();
        threads.clear();
    }

    void work() {
        FILE* archive = platform::reopenFile(context.archiveFile);
        for (;;) {
            Job* job;
            {
                platform::Locked l(mutex);
                while (!stopping && ready.empty()) workCv.wait(mutex);
                if (stopping) break;
                job = ready.front();
                ready.pop_front();
            }
            decodeJob(*job, archive, context);
            bool wanted;
            {
                platform::Locked l(mutex);
                job->done = true;
                wanted = job == awaited;
            }
            // Only the member whose turn it is wakes the run.
            if (wanted) doneCv.notifyOne();
        }
        if (archive) std::fclose(archive);
    }

    ExtractionContext& context;
    platform::Mutex mutex;
    platform::Condition workCv, doneCv;
    std::deque<Job*> ready;
    const Job* awaited = nullptr;  // the member the run waits for
    bool stopping = false;
    std::vector<std::unique_ptr<platform::Thread>> threads;
};

}  // namespace

void runOnThreads(ExtractionContext& context, const RunChoices& choices) {
    const unsigned threads = choices.threads < maxDecodingThreads ? choices.threads : maxDecodingThreads;
    ArchiveWalker walk(context);
    Jobs pending;
    Workers workers(context, threads);
    const size_t ahead = threads * aheadPerThread;
    bool walked = false;
    bool aborted = false;
    for (;;) {
        while (!walked && !aborted && pending.size() < ahead) {
            auto job = std::make_unique<Job>();
            walkNext(walk, job->member);
            walked = job->member.status != HeaderStatus::member && job->member.status != HeaderStatus::nameTooLong;
            if (forWorkers(context, *job, choices)) workers.offer(*job);
            pending.push_back(std::move(job));
        }
        if (pending.empty()) break;
        Job& job = *pending.front();
        // While the run waits for a member that a worker decodes, the bar names that member.
        if (job.forWorker) context.frontEnd->waitingFor(job.member.header.name);
        if (job.forWorker && !workers.await(job, pending)) break;
        // After an abort the members decoded before the first unfinished one are kept, as on
        // one thread those before the member being written are; the rest are deleted.
        if (!aborted && !context.run.keepRunning.load()) {
            aborted = true;
            workers.stop(pending);
        }
        if (aborted && !(job.forWorker && job.decoded)) break;
        if (aborted) context.run.keepRunning.store(1);
        const bool more = runMember(context, job.member, choices, frontJobsTurn, &pending);
        if (aborted) context.run.keepRunning.store(0);
        dropWorkerFile(context.destination, job);  // a member that was not chosen after all
        pending.pop_front();
        if (!more) break;
        // The member's bytes count as done, though a worker decoded them.
        ProgressReporter{&context.run, context.frontEnd}.report(0);
    }
    workers.finish(pending);
}

}  // namespace nivo
