// The folders of the members written by the run, made as the run needs them, and the shell told
// of what the run made.
#pragma once

#include <cstdint>

namespace nivo {

class ExtractionContext;

// Makes the folder that contains the path's last component, with its missing parents. The
// path uses "/" separators. True when that folder exists as a folder afterwards.
bool makeParentDirectories(ExtractionContext& context, const char* path);

enum class ShellEvent : uint8_t { folderCreated, memberHandled };

// Tells the shell of a folder made by makeParentDirectories (path as given) or of a member
// handled by the run (path: the member's name). Both are relative to the destination, the
// current folder while the run goes on.
void notifyShell(ExtractionContext& context, ShellEvent event, const char* path);

}  // namespace nivo
