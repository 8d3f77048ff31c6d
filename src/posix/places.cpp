// Where the run's names are resolved: against the launcher's folder while
// the updaters' lock holds it, else against the current directory.
//
// Uses: nothing of the layer (the ground every other file stands on).

#include "layer.h"

#include <fcntl.h>

namespace {

// The lock's descriptor of the launcher's folder, or -1, and how paths in
// that folder begin ("" for a launcher named without a folder). Owned here,
// set and cleared by lock.cpp, read by At, which a stop and the critical
// window call: a descriptor and a prefix that are there already take no
// memory to read.
int lockedFolder = -1;
std::string lockedFolderPrefix;

} // namespace

Place At(const std::string& path)
{
    const std::size_t prefix = lockedFolderPrefix.size();
    if (lockedFolder >= 0 && path.size() > prefix && path.compare(0, prefix, lockedFolderPrefix) == 0 &&
        path.find('/', prefix) == std::string::npos) {
        return {lockedFolder, path.c_str() + prefix};
    }
    return {AT_FDCWD, path.c_str()};
}

std::string FolderOf(const std::string& path)
{
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool Status(const std::string& path, struct stat& info, bool followLink)
{
    const Place place = At(path);
    return fstatat(place.folder, place.name, &info, followLink ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

void SetLockedFolder(int folder, const std::string& oldFile)
{
    lockedFolder = folder;
    lockedFolderPrefix = oldFile.substr(0, oldFile.find_last_of('/') + 1);
}

void ClearLockedFolder()
{
    lockedFolder = -1;
}

int LockedFolder()
{
    return lockedFolder;
}
