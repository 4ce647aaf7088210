#include "extract/extraction_context.h"
#include "common/sjis_text.h"

#include <cstdlib>
#include <cstring>

namespace nivo {


namespace {
// Told nothing: the front end of a context that nobody watches.
class SilentFrontEnd final : public FrontEnd {};
SilentFrontEnd silentFrontEnd;
}

const char* problemText(Problem problem) {
    switch (problem) {
    case Problem::unknownMethod: return "unknown method";
    case Problem::cannotCreate: return "cannot create the file";
    case Problem::writeFailed: return "write failed";
    case Problem::crcMismatch: return "CRC error";
    case Problem::damagedData: return "damaged data";
    case Problem::truncated: return "archive ends inside the member";
    case Problem::outsideDestination: return "path leads outside the destination";
    case Problem::linkRefused: return "symbolic link not extracted";
    case Problem::nameTooLong: return "name too long";
    case Problem::noMemory: return "out of memory";
    case Problem::damagedHeader: return "damaged header";
    case Problem::sizeMismatch: return "data longer than the original size";
    case Problem::unknownHeader: return "Unknown header";
    case Problem::noFileName: return "no file name";
    case Problem::reservedName: return "device or stream name, refused on Windows";
    case Problem::damagedKept: return "not written: the existing file kept";
    }
    return "problem";
}

void ProblemList::add(const char* name, Problem problem) {
    if (count < kept) {
        copyText(entries[count].name, sizeof entries[count].name, name);
        entries[count].problem = problem;
    }
    ++count;
}

ExtractionContext::ExtractionContext() : frontEnd(&silentFrontEnd) {
    outputPath[0] = '\0';
}

ExtractionContext::~ExtractionContext() {
    if (archiveFile) {
        std::fclose(archiveFile);
        archiveFile = nullptr;
    }
    std::free(destinationDir);
    std::free(titleText);
    std::free(shortcutTarget);
    std::free(launchCommand);
}

bool ExtractionContext::replaceText(char*& field, const char* text) {
    std::free(field);
    field = nullptr;
    if (!text) return true;
    size_t n = std::strlen(text) + 1;
    field = static_cast<char*>(std::malloc(n));
    if (!field) return false;
    std::memcpy(field, text, n);
    return true;
}

void ExtractionContext::addProblem(const char* name, Problem problem) {
    name = shownName(name);
    problems.add(name, problem);
    frontEnd->memberProblem(name, problem);
}

}  // namespace nivo
