#include "tests/e2e/program_runner.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nivo::test {

namespace {

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The inherited environment with the requested variables put in place of their namesakes.
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra)
            if (x.substr(0, x.find('=')) == name) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Reads what is there; closes fd at the end of the stream (EIO is how a terminal's master side
// reports that the child side has gone).
void drain(int& fd, std::string& into) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        closeFd(fd);
        return;
    }
}

}  // namespace

std::string nivosfxPath() {
    return NIVOSFX_PATH;
}

std::string mksfxPath() {
    return MKSFX_PATH;
}

std::string mklzhPath() {
    return MKLZH_PATH;
}

ChildProcess::ChildProcess(const RunOptions& s) : how(s) {
    // A child that exits without reading its stdin must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argvText{how.program.empty() ? nivosfxPath() : how.program};
    argvText.insert(argvText.end(), how.args.begin(), how.args.end());
    std::vector<std::string> envText = childEnvironment(how.extraEnv);
    std::vector<char*> argv = pointers(argvText);
    std::vector<char*> envp = pointers(envText);

    int in[2], out[2], err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    if (how.terminal) {
        // stdin and stderr on one terminal: the answers are typed into it, and it shows the
        // questions with the answers echoed.
        if (::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0) return;
        ::fcntl(err[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(err[1], F_SETFD, FD_CLOEXEC);
        ::close(in[0]);
        ::close(in[1]);
        in[0] = ::fcntl(err[1], F_DUPFD_CLOEXEC, 0);
        in[1] = ::fcntl(err[0], F_DUPFD_CLOEXEC, 0);
    } else if (how.stderrTerminal) {
        if (::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0) return;
        ::fcntl(err[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(err[1], F_SETFD, FD_CLOEXEC);
    } else if (::pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    std::string cwd = how.cwd.string();
    child = ::fork();
    if (child == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        if (how.fileSizeLimit >= 0) {
            rlimit lim{static_cast<rlim_t>(how.fileSizeLimit), static_cast<rlim_t>(how.fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &lim);
            // Writes past the limit then fail with EFBIG instead of ending the process; an
            // ignored signal stays ignored across exec.
            std::signal(SIGXFSZ, SIG_IGN);
        }
        std::signal(SIGPIPE, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    inFd = in[1];
    outFd = out[0];
    errFd = err[0];
    for (int fd : {inFd, outFd, errFd}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (how.stdinText.empty()) closeFd(inFd);
    deadline = now() + how.timeoutSeconds;
}

ChildProcess::~ChildProcess() {
    if (child > 0 && !ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    closeFd(inFd);
    closeFd(outFd);
    closeFd(errFd);
}

void ChildProcess::pump(int timeoutMs) {
    pollfd fds[3];
    int n = 0;
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (n == 0) {
        if (timeoutMs > 0) ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
        return;
    }
    if (::poll(fds, static_cast<nfds_t>(n), timeoutMs) <= 0) return;
    if (inFd >= 0) {
        ssize_t w = ::write(inFd, how.stdinText.data() + inDone, how.stdinText.size() - inDone);
        if (w > 0) inDone += static_cast<size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || inDone == how.stdinText.size()) closeFd(inFd);
    }
    if (outFd >= 0) drain(outFd, result.out);
    if (errFd >= 0) drain(errFd, result.err);
}

void ChildProcess::reap(int status, long maxRss) {
    ended = true;
    result.maxRssKb = maxRss;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
}

bool ChildProcess::running() {
    if (child <= 0 || ended) return false;
    pump(0);
    int status = 0;
    rusage ru{};
    if (::wait4(child, &status, WNOHANG, &ru) == child) {
        reap(status, ru.ru_maxrss);
        return false;
    }
    return true;
}

RunResult ChildProcess::wait() {
    if (child <= 0) {
        result.err = "could not start " + (how.program.empty() ? nivosfxPath() : how.program);
        return result;
    }
    while (running()) {
        if (now() > deadline) {
            result.timedOut = true;
            ::kill(child, SIGKILL);
        }
        pump(5);
    }
    // What the child wrote before it ended is still in the pipes. A descendant that kept them
    // open must not hold the test up, so this waits a little only.
    closeFd(inFd);
    double graceEnd = now() + 2;
    while ((outFd >= 0 || errFd >= 0) && now() < graceEnd) pump(20);
    return result;
}

RunResult runNivosfx(RunOptions how) {
    ChildProcess p(how);
    return p.wait();
}

std::string manifestLevelField(const std::string& level) {
    std::string field = "level=\"" + level + "\"";
    field.resize(sizeof "level=\"requireAdministrator\"" - 1, ' ');
    return field;
}

std::vector<uint8_t> sfxFile(const SetupBlock* settings, const std::vector<uint8_t>& archive) {
    std::vector<uint8_t> f(sfxImageSize, 0);
    f[0] = 'M';
    f[1] = 'Z';
    // The manifest's execution level, in its field, which mksfx rewrites.
    const std::string level = manifestLevelField("asInvoker");
    std::copy(level.begin(), level.end(), f.begin() + 0x400);
    // A text too long for its length byte is a fault of the test that asks for it.
    if (!appendSettingsBlock(f, settings)) std::abort();
    f.insert(f.end(), archive.begin(), archive.end());
    return f;
}

uint16_t lzhCrc16(uint16_t crc, const uint8_t* data, size_t size) {
    static uint16_t table[256];
    if (!table[1]) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
            table[i] = static_cast<uint16_t>(c);
        }
    }
    for (size_t i = 0; i < size; ++i) crc = static_cast<uint16_t>(table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

}  // namespace nivo::test
