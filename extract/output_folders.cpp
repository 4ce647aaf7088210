#include "extract/output_folders.h"

#include <cstring>

#include "common/sjis_text.h"
#include "extract/extraction_context.h"
#include "platform/platform.h"

namespace nivo {

bool makeParentDirectories(ExtractionContext& context, const char* path) {
    char folder[1024];
    if (!copyText(folder, sizeof folder, path)) return false;
    char* slash = std::strrchr(folder, '/');
    if (!slash || slash == folder) return false;
    *slash = '\0';

    switch (platform::pathKind(context.destination, folder)) {
    case platform::PathKind::directory: return true;
    case platform::PathKind::file:
    case platform::PathKind::link: return false;
    case platform::PathKind::missing: break;
    }
    if (platform::makeDirectory(context.destination, folder)) {
        notifyShell(context, ShellEvent::folderCreated, folder);
        return true;
    }
    // Make the parents first; the folder made on this second attempt is not announced. A
    // folder that exists by now (made in the meantime) is as good as one made here.
    if (makeParentDirectories(context, folder) && platform::makeDirectory(context.destination, folder)) return true;
    return platform::pathKind(context.destination, folder) == platform::PathKind::directory;
}

void notifyShell(ExtractionContext&, ShellEvent event, const char* path) {
    if (event == ShellEvent::folderCreated) {
        platform::notifyShell(platform::notifyMakeDir, path);
        return;
    }
    // The member's path under the destination, which is the current folder while the run
    // goes on; the platform makes it a full path. A "/" is never the second byte of a
    // two-byte character, so a byte-wise look is exact.
    char shown[pathBufferSize];
    if (!copyText(shown, sizeof shown, skipRoot(path))) return;
    for (char* p = shown; *p; ++p)
        if (*p == '/') *p = '\\';
    platform::notifyShell(platform::notifyCreate, shown);
}

}  // namespace nivo
