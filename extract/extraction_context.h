// The extraction context: the one record that start-up builds and that the main window, both
// dialogs and the worker thread share by address, together with the values that carry the
// run's progress and the abort request between the two threads.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#ifndef NIVO_STUB
#include <atomic>
#include <functional>
#endif

#include "common/sizes.h"
#include "lzh/member_header.h"
#include "decode/run_values.h"
#include "platform/platform.h"

namespace nivo {

// A member's path with its last component replaced by the name of the file it is written to
// until it is complete ("~nivo99999.tmp").
constexpr uint32_t writingPathSize = pathBufferSize + 16;
// What went wrong in a run, member by member. A run with problems is never reported as
// success. The first few names are kept for the end-of-run message; all are counted.
struct ProblemList {
    static constexpr int kept = 8;
    struct Entry {
        char name[pathBufferSize];
        Problem problem;
    };
    Entry entries[kept];
    int count = 0;

    void add(const char* name, Problem problem);
    bool empty() const { return count == 0; }
};

class ExtractionContext : public ArchiveSource {
public:
    ExtractionContext();
    ~ExtractionContext();
    ExtractionContext(const ExtractionContext&) = delete;
    ExtractionContext& operator=(const ExtractionContext&) = delete;

    // Replaces one of the owned texts with a heap copy of text (null leaves it null).
    static bool replaceText(char*& field, const char* text);

    // The file of the member being written; empty between members.
    char outputPath[writingPathSize];  // the constructor makes it empty
    char* destinationDir = nullptr;
    // The folder the members' paths are relative to; by default the current folder. The
    // context does not own it.
    platform::Destination destination;
    char* titleText = nullptr;
    char* shortcutTarget = nullptr;
    char* launchCommand = nullptr;
    uint8_t startMenuOption = 0;
    uint8_t desktopOption = 0;
    uint8_t sendToOption = 0;
    uint8_t hasSetupSettings = 0;

    RunValues run;
    ProblemList problems;
    // Decode and check every member without writing anything (the extractor's test command).
    bool testOnly = false;
    // Refuse names that Windows gives another meaning: devices (NUL, COM1, ...) and streams.
    bool windowsNames = false;
    // Keep the data of classic Mac OS members as stored, MacBinary header and resource fork
    // included, instead of extracting the data fork alone.
    bool keepMacBinary = false;
    FrontEnd* frontEnd = nullptr;  // never null once constructed; a silent one by default
#ifndef NIVO_STUB
    // Whether a path (code page 932, "/", inside the destination) is where a member of the
    // archive goes: such a name is never taken for a temporary, nor removed as a leftover.
    std::function<bool(const char*)> isMemberPath;
    // The number the next temporary's name is looked for from: past those the run took, so
    // that its files in work are not walked past again and again.
    mutable std::atomic<uint32_t> nextTemporary{0};
#endif

    // Records a problem of the member and tells the front end.
    void addProblem(const char* name, Problem problem);
};

}  // namespace nivo
