// The file services behind the POSIX side of the seam that the packers use too, on paths in
// the local (UTF-8) form. POSIX builds only.
#pragma once

namespace nivo {

// Whether a file that replaces another is written through to the disk first, and its folder
// after the rename (nivosfx, mklzh and mksfx turn it off with --no-sync).
extern bool syncReplacements;

// Creates path, which must not exist (a link there included), for writing, readable and
// writable by the owner alone, and holds an exclusive lock on it for as long as it is open:
// the mark of a temporary that is still being written. -1 when it cannot (errno says why).
int createLockedFile(const char* path);
// The same for name in the open folder (AT_FDCWD: the current one).
int createLockedFileAt(int folder, const char* name);

// Removes path when it is a regular file whose lock can be taken: the run that wrote it is
// gone. False when nothing was removed.
bool removeUnlockedFile(const char* path);
bool removeUnlockedFileAt(int folder, const char* name);

// rename(from, to); when to exists and syncReplacements is on, from is synced first and to's
// folder after.
bool renameOver(const char* from, const char* to);
// The same with each name reached from its open folder (AT_FDCWD: the current one).
bool renameOverAt(int fromFolder, const char* from, int toFolder, const char* to);

}  // namespace nivo
