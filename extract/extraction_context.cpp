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
