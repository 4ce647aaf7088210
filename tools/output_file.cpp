#include "tools/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_files.h"

namespace nivo {

namespace {

// The temporary that a stop signal removes: a fixed buffer, read by the handler.
char pendingTemporary[4096];

void onStopSignal(int signal) {
    if (pendingTemporary[0]) ::unlink(pendingTemporary);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void removeOnStopSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        std::signal(signal, onStopSignal);
    }
}

// What the signal handler removes; empty for nothing. Stop signals are held meanwhile, so that
// the handler never sees half a name.
void setPending(const std::string& name) {
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    std::memcpy(pendingTemporary, name.c_str(), name.size() + 1);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

FILE* OutputFile::create(const std::string& path) {
    if (path.size() + 32 >= sizeof pendingTemporary) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    target = path;
    removeOnStopSignals();
    // "NAME.PID-N.part": no other run takes it, and a failed try moves on to the next number.
    for (unsigned n = 0; n < 1000; ++n) {
        std::string name = path + "." + std::to_string(::getpid()) + "-" + std::to_string(n) + ".part";
        setPending(name);  // before it exists: a signal may come right after its creation
        int fd = createLockedFile(name.c_str());
        if (fd >= 0) {
            temp = name;
            file = ::fdopen(fd, "wb");
            if (file) return file;
            ::close(fd);
            discard();
            return nullptr;
        }
        setPending("");
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

bool OutputFile::commit(std::string& error) {
    // Closed only once renamed: the lock on it is held until then.
    if (std::fflush(file) != 0 || std::ferror(file)) {
        error = std::strerror(errno);
        discard();
        return false;
    }
    // The permissions of the file replaced, or those a new file gets.
    struct stat old {};
    mode_t mode;
    if (::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fileno(file), mode) != 0 || !renameOver(temp.c_str(), target.c_str())) {
        error = std::strerror(errno);
        discard();
        return false;
    }
    setPending("");
    temp.clear();
    std::fclose(file);
    file = nullptr;
    return true;
}

void OutputFile::discard() {
    if (file) std::fclose(file);
    file = nullptr;
    if (!temp.empty()) ::unlink(temp.c_str());
    setPending("");
    temp.clear();
}

}  // namespace nivo
