#include "tools/archive_builder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "lzh/member_header.h"
#include "common/crc16.h"

namespace nivo {

struct ArchiveBuilder::Segment {
    int method = 0;
    EncoderOptions encoder;
    std::vector<uint8_t> input;  // the window before the segment, then the segment
    size_t history = 0;
    BitChunk result;
    bool done = false;
};

struct ArchiveBuilder::Member {
    LzhMember info;  // everything but the data
    std::string path;
    bool compressed = false;
    off_t headerOffset = 0;
    size_t headerSize = 0;
    uint64_t dataBytes = 0;
    BitJoiner joiner;
    MemberWritten written;
};

namespace {

// Segments in flight per compressing thread: one being compressed, one waiting for it.
constexpr size_t segmentsPerThread = 2;

// Opens an input for reading when it is a regular file: a FIFO or a device put in its place
// after it was listed is never read (the open does not wait for a FIFO's writer), nor a link
// unless links are followed. None, with errno or error set, otherwise.
FILE* openRegularFile(const std::string& path, bool followLinks, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        error = errno == ELOOP ? "replaced by a symbolic link" : std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    FILE* in = nullptr;
    if (::fstat(fd, &st) != 0)
        error = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        error = "not a regular file (any more)";
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || !(in = ::fdopen(fd, "rb")))
        error = std::strerror(errno);
    if (!in) ::close(fd);
    return in;
}

}  // namespace

unsigned defaultThreads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

size_t builderMemoryBound(unsigned threads) {
    const size_t window = encoderWindow(methodOf("lh7"));
    const size_t segment = EncoderOptions{}.segmentBytes;
    // A segment's input with its window, and its output, which is never much larger.
    const size_t perSegment = (segment + window) + (segment + segment / 8);
    // The encoder's tables at the top levels: the tree, two tables of hash heads, the matches
    // of a stretch of 128 KiB with their prices and choices, and the stretch's symbols.
    const size_t tables = 4 * window * 4 + 2 * 65536 * 4 + (size_t{1} << 17) * (8 * 4 + 2 + 4 + 4 + 4);
    // The program itself, its libraries and the file buffers.
    const size_t program = 4u << 20;
    // Each thread's segments, and the one being read.
    return threads * (tables + segmentsPerThread * perSegment) + perSegment + program;
}

ArchiveBuilder::ArchiveBuilder(FILE* o, const BuilderOptions& opts)
    : out(o), options(opts) {
    if (options.threads == 0) options.threads = defaultThreads();
    if (options.encoder.segmentBytes == 0) options.encoder.segmentBytes = EncoderOptions{}.segmentBytes;
    maxPending = segmentsPerThread * options.threads;
    makeCrcTable();
}

ArchiveBuilder::~ArchiveBuilder() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
}

void ArchiveBuilder::startWorkers() {
    for (unsigned i = 0; i < options.threads; ++i)
        workers.emplace_back([this] {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                wake.wait(lock, [this] { return stopping || !work.empty(); });
                if (work.empty()) return;
                std::shared_ptr<Segment> s = work.front();
                work.pop_front();
                lock.unlock();
                compressSegment(s->method, s->input.data(), s->history, s->input.size() - s->history,
                                s->result, s->encoder);
                lock.lock();
                s->done = true;
                wake.notify_all();
            }
        });
}

void ArchiveBuilder::submit(const std::shared_ptr<Segment>& s) {
    if (workers.empty()) startWorkers();
    {
        std::lock_guard<std::mutex> lock(mutex);
        work.push_back(s);
    }
    wake.notify_all();
}

bool ArchiveBuilder::writeBytes(const uint8_t* p, size_t n) {
    if (failed) return false;
    if (n && std::fwrite(p, 1, n, out) != n) {
        failed = true;
        writeError = std::strerror(errno);
    }
    return !failed;
}

void ArchiveBuilder::queueItem(Item item) {
    if (item.step == Step::segment) ++segmentsPending;
    pending.push_back(std::move(item));
}

// Writes the oldest item, waiting for its segment when it is still being compressed.
bool ArchiveBuilder::writeNext() {
    Item item = std::move(pending.front());
    pending.pop_front();
    Member& m = *item.member;
    if (item.step == Step::header) {
        m.headerOffset = ftello(out);
        std::vector<uint8_t> h = memberHeader(m.info, 0);
        m.headerSize = h.size();
        if (m.headerOffset < 0) {
            failed = true;
            writeError = std::strerror(errno);
        }
        if (!writeBytes(h.data(), h.size())) return false;
        if (m.info.method == "-lhd-" && m.written) m.written(0, 0);
        return true;
    }
    if (item.step == Step::end) return completeMember(m);
    --segmentsPending;
    Segment& s = *item.segment;
    std::vector<uint8_t> bytes;
    if (m.compressed) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return s.done; });
        }
        m.joiner.append(s.result, bytes);
    }
    const std::vector<uint8_t>& data = m.compressed ? bytes : s.input;
    m.dataBytes += data.size();
    if (!writeBytes(data.data(), data.size())) return false;
    if (options.progress) options.progress(m.info.name, s.input.size() - s.history);
    return true;
}

bool ArchiveBuilder::drain(size_t keep) {
    while (!pending.empty() && (segmentsPending > keep || keep == 0))
        if (!writeNext() && failed) return false;
    return !failed;
}

// Ends a member's data and fills in its header. Data that did not get smaller is stored.
bool ArchiveBuilder::completeMember(Member& m) {
    if (m.compressed) {
        std::vector<uint8_t> tail;
        m.joiner.finish(tail);
        m.dataBytes += tail.size();
        if (!writeBytes(tail.data(), tail.size())) return false;
        if (m.dataBytes >= m.info.originalSize && !storeAgain(m)) return false;
    }
    const off_t end = m.headerOffset + static_cast<off_t>(m.headerSize + m.dataBytes);
    std::vector<uint8_t> h = memberHeader(m.info, static_cast<uint32_t>(m.dataBytes));
    if (fseeko(out, m.headerOffset, SEEK_SET) != 0 || !writeBytes(h.data(), h.size()) ||
        fseeko(out, end, SEEK_SET) != 0) {
        if (!failed) writeError = std::strerror(errno);
        failed = true;
        return false;
    }
    if (m.written) m.written(m.info.originalSize, m.dataBytes);
    return true;
}

// Writes the member's file again as it is, over its compressed data.
bool ArchiveBuilder::storeAgain(Member& m) {
    const off_t dataStart = m.headerOffset + static_cast<off_t>(m.headerSize);
    if (std::fflush(out) != 0 || fseeko(out, dataStart, SEEK_SET) != 0 || ftruncate(fileno(out), dataStart) != 0) {
        failed = true;
        writeError = std::strerror(errno);
        return false;
    }
    m.info.method = methodIdOf(methodStored).text;
    m.compressed = false;
    m.dataBytes = 0;
    std::string ignored;
    FILE* in = openRegularFile(m.path, options.followLinks, ignored);
    std::vector<uint8_t> buffer(1u << 16);
    uint16_t crc = 0;
    size_t n = 0;
    // One byte past the size shows a file that grew.
    while (in && m.dataBytes <= m.info.originalSize &&
           (n = std::fread(buffer.data(), 1, std::min<uint64_t>(buffer.size(), m.info.originalSize + 1 - m.dataBytes),
                           in)) > 0) {
        crc = updateCrc(crc, buffer.data(), static_cast<uint32_t>(n));
        m.dataBytes += n;
        if (!writeBytes(buffer.data(), n)) break;
    }
    if (in) std::fclose(in);
    if (failed) return false;
    if (m.dataBytes != m.info.originalSize || crc != m.info.crc) {
        // The file changed since it was compressed: what it held then is gone, and what it
        // holds now does not match the header. The member is left out.
        problems.push_back(m.path + ": changed while it was packed, left out");
        rollBack(m);
        return false;
    }
    return true;
}

// Takes a member, header and all, back out of the archive.
bool ArchiveBuilder::rollBack(const Member& m) {
    if (std::fflush(out) != 0 || fseeko(out, m.headerOffset, SEEK_SET) != 0 ||
        ftruncate(fileno(out), m.headerOffset) != 0) {
        failed = true;
        writeError = std::strerror(errno);
        return false;
    }
    return true;
}

bool ArchiveBuilder::addFolder(const LzhMember& entry, std::string& error, MemberWritten written) {
    if (failed) {
        error = writeError;
        return false;
    }
    auto m = std::make_shared<Member>();
    m->info = entry;
    m->written = std::move(written);
    queueItem({Step::header, m, nullptr});
    return drain(maxPending);
}

bool ArchiveBuilder::addFile(const std::string& path, const LzhMember& info, int method, std::string& error,
                             MemberWritten written, uint64_t listedSize) {
    if (failed) {
        error = writeError;
        return false;
    }
    FILE* in = openRegularFile(path, options.followLinks, error);
    if (!in) return false;
    auto m = std::make_shared<Member>();
    m->path = path;
    m->info = info;
    m->info.data.clear();
    m->written = std::move(written);
    m->compressed = encoderWindow(method) != 0;
    m->info.method = methodIdOf(m->compressed ? method : methodStored).text;
    queueItem({Step::header, m, nullptr});

    const size_t window = m->compressed ? encoderWindow(method) : 0;
    const size_t segmentBytes = options.encoder.segmentBytes;
    std::vector<uint8_t> history;
    uint64_t total = 0;
    uint16_t crc = 0;
    std::string problem;
    for (;;) {
        auto s = std::make_shared<Segment>();
        s->method = method;
        s->encoder = options.encoder;
        s->input = history;
        s->history = history.size();
        // Never past the size the file had when it was listed: a file that grows meanwhile
        // (a log being written) is packed as it was then.
        const size_t want = static_cast<size_t>(std::min<uint64_t>(segmentBytes, listedSize - total));
        s->input.resize(s->history + want);
        const size_t n = want ? std::fread(s->input.data() + s->history, 1, want, in) : 0;
        if (n < want && std::ferror(in)) {
            problem = std::strerror(errno);
            break;
        }
        s->input.resize(s->history + n);
        total += n;
        if (total > UINT32_MAX) {
            problem = "larger than 4 GB";
            break;
        }
        if (n == 0) break;
        crc = updateCrc(crc, s->input.data() + s->history, static_cast<uint32_t>(n));
        const size_t keep = std::min(window, s->input.size());
        history.assign(s->input.end() - static_cast<std::ptrdiff_t>(keep), s->input.end());
        if (m->compressed) {
            submit(s);
        } else {
            s->input.erase(s->input.begin(), s->input.begin() + static_cast<std::ptrdiff_t>(s->history));
            s->done = true;
        }
        queueItem({Step::segment, m, s});
        if (!drain(maxPending)) break;
        if (n < want) break;
    }
    if (listedSize != UINT64_MAX && problem.empty() && (total < listedSize || std::fgetc(in) != EOF))
        changes.push_back(path + (total < listedSize ? ": shrank while it was packed; packed the " +
                                                           std::to_string(total) + " bytes left of " +
                                                           std::to_string(listedSize)
                                                     : ": grew while it was packed; packed the " +
                                                           std::to_string(listedSize) + " bytes it had when listed"));
    std::fclose(in);
    if (problem.empty()) {
        m->info.originalSize = static_cast<uint32_t>(total);
        m->info.crc = crc;
        queueItem({Step::end, m, nullptr});
        if (drain(maxPending)) return true;
    } else if (drain(0)) {
        // Everything before the member is out, and the member's header and data so far: they
        // are taken back.
        rollBack(*m);
        if (!failed) {
            error = problem;
            return false;
        }
    }
    error = writeError;
    return false;
}

bool ArchiveBuilder::finish(std::string& error) {
    const uint8_t endMark = 0;
    if (drain(0) && writeBytes(&endMark, 1) && std::fflush(out) != 0) {
        failed = true;
        writeError = std::strerror(errno);
    }
    if (failed) error = writeError;
    return !failed;
}

}  // namespace nivo
