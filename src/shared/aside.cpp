// Moving the old launcher aside, the same on every platform.
//
// Uses: NothingAt, FileThere, RenameWithoutReplacing (the platform's files and swap).

#include "platform.h"

AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile)
{
    if (NothingAt(oldFile)) {
        return nothingThere;
    }
    if (!FileThere(oldFile)) {
        return cannotMove;
    }
    return RenameWithoutReplacing(oldFile, backupFile) ? movedAside : cannotMove;
}
