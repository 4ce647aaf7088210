// The packers' output file. It is written under a fresh name of its own in the folder of the
// file it becomes (created exclusively, never through a link, readable by the owner alone) and
// renamed over that file only once complete, so that an old archive is never damaged and two
// runs never write into one file. The temporary is removed on every error, and when SIGINT,
// SIGTERM or SIGHUP ends the program (a signal ignored at start stays ignored).
#pragma once

#include <cstdio>
#include <string>

namespace nivo {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary beside path, opened for writing ("wb"); null (errno set) when it
    // cannot be made.
    FILE* create(const std::string& path);
    // The temporary's name while there is one.
    const std::string& temporary() const { return temp; }
    // Closes the temporary, gives it the permissions of the file it replaces (or of a new
    // file), and renames it over the path: a link at the path is replaced, not written
    // through. False, with the reason in error and the temporary removed, when any step fails.
    bool commit(std::string& error);
    // Closes and removes the temporary.
    void discard();

private:
    std::string target, temp;
    FILE* file = nullptr;
};

}  // namespace nivo
