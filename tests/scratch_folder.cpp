#include "scratch_folder.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string MakeScratchFolder(const std::string& parent)
{
    std::string pattern =
        ((parent.empty() ? fs::temp_directory_path() : fs::path(parent)) / "kestrin test.XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        std::abort();
    }
    chmod(name.data(), 0755);
    return name.data();
}

void RemoveScratchFolder(const std::string& folder)
{
    std::error_code ignored;
    struct stat folderInfo;
    stat(folder.c_str(), &folderInfo);
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        struct stat info;
        if (lstat(entry.path().c_str(), &info) == 0 && info.st_dev != folderInfo.st_dev) {
            umount2(entry.path().c_str(), MNT_DETACH);
        }
    }
    for (const int flag : {FS_IMMUTABLE_FL, FS_APPEND_FL}) {
        SetFileFlag(folder, flag, false);
        for (const auto& entry : fs::recursive_directory_iterator(folder, ignored)) {
            if (!entry.is_symlink()) {
                SetFileFlag(entry.path().string(), flag, false);
            }
        }
    }
    fs::remove_all(folder, ignored);
}

void PutFile(const std::string& path, const std::string& content, unsigned mode)
{
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path)
{
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

bool MountTmpfs(const std::string& path, int mebibytes)
{
    const std::string options = "size=" + std::to_string(mebibytes) + "m,mode=0755";
    return fs::create_directory(path) && mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

bool SetFileFlag(const std::string& path, int flag, bool on)
{
    const int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    int flags = 0;
    bool done = ioctl(file, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? flags | flag : flags & ~flag;
        done = ioctl(file, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(file);
    return done;
}

Listing ListFolder(const std::string& folder, const std::map<std::string, std::string>& nameOf)
{
    Listing listing;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string path = entry.path().string();
        std::string& description = listing[entry.path().lexically_relative(folder).string()];
        struct stat info;
        lstat(path.c_str(), &info);
        if (S_ISLNK(info.st_mode)) {
            description = "link:" + fs::read_symlink(entry.path()).string();
        } else if (S_ISDIR(info.st_mode)) {
            description = "dir";
        } else if (S_ISFIFO(info.st_mode)) {
            description = "fifo";
        } else {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o:", static_cast<unsigned>(info.st_mode & 07777));
            const std::string content = ReadFile(path);
            const auto known = nameOf.find(content);
            // A partial copy of a large file is named by its size, not shown.
            const std::string shown = known != nameOf.end() ? known->second
                                      : content.size() > 64 ? std::to_string(content.size()) + " bytes"
                                                            : content;
            description = mode + shown +
                          (info.st_uid != 0 ? "@" + std::to_string(info.st_uid) : "");
        }
    }
    return listing;
}
