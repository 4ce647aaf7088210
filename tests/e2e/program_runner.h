// Runs the programs (nivosfx by default) as a user would, and composes the self-extracting
// files nivosfx is run on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

#include "extract/extraction_context.h"
#include "lzh/settings_writer.h"
#include "lzh/settings_block.h"

namespace nivo::test {

struct RunOptions {
    std::string program;                          // empty: nivosfx
    std::vector<std::string> args;               // behind the program name
    std::string stdinText;                        // fed to stdin, which is then closed
    std::filesystem::path cwd;                    // empty: the test's own
    std::vector<std::string> extraEnv;            // "NAME=value", replacing inherited ones
    double timeoutSeconds = 30;
    int64_t fileSizeLimit = -1;                   // RLIMIT_FSIZE in the child, -1 for none
    bool stderrTerminal = false;                  // stderr is a pseudo-terminal, not a pipe
    bool terminal = false;                        // stdin and stderr are one pseudo-terminal
    unsigned short columns = 80;                  // the pseudo-terminal's width
};

struct RunResult {
    int exitCode = -1;       // -1 when the child did not exit normally
    int termSignal = 0;      // the signal that ended it, if one did
    bool timedOut = false;   // killed after timeoutSeconds
    std::string out;
    std::string err;         // from the pipe or, with stderrTerminal, from the terminal
    long maxRssKb = 0;       // the child's peak resident set
};

// The child is started by the constructor; wait() feeds stdin, collects output and reaps it.
// Between the two the test may watch the file system and signal the child.
class ChildProcess {
public:
    explicit ChildProcess(const RunOptions& how);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return child; }
    bool running();   // false once the child has ended (it is then reaped)
    RunResult wait();

private:
    void pump(int timeoutMs);
    void reap(int status, long maxRss);

    RunOptions how;
    pid_t child = -1;
    int inFd = -1, outFd = -1, errFd = -1;
    size_t inDone = 0;
    bool ended = false;
    RunResult result;
    double deadline = 0;
};

// Runs nivosfx as told and returns when it has ended.
RunResult runNivosfx(RunOptions how);
std::string nivosfxPath();
std::string mksfxPath();
std::string mklzhPath();

// The settings block as the builder writes it; texts are code page 932.
using SetupBlock = SettingsFields;

constexpr size_t sfxImageSize = imageSize;

// The manifest's level="..." field with the level, as wide as the longest level.
std::string manifestLevelField(const std::string& level);

// The image ("MZ", the manifest's level field, zeros otherwise), the settings block (the single
// 0 byte when settings is null) and the archive.
std::vector<uint8_t> sfxFile(const SetupBlock* settings, const std::vector<uint8_t>& archive);

// CRC-16 of the LZH format (reflected polynomial 0xA001, initial value 0), continued from crc.
uint16_t lzhCrc16(uint16_t crc, const uint8_t* data, size_t size);

}  // namespace nivo::test
