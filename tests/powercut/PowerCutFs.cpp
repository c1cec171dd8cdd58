// A file system for power-cut tests: everything passes through to a real folder, but what has not been
// made durable is remembered, so that a power cut can be played on command.
//
//   quarnel-powercut-fs BACKING GRAVE MOUNTPOINT SEED
//
// Durable means: a file's data after fsync or fdatasync of that file; a folder's entries (create, mkdir,
// link, symlink, rename, unlink, rmdir) after fsync of that folder. The entry changes form one journal, as
// on ext4: syncing a folder makes durable every change up to the last one that touched it.
//
// SIGUSR1 cuts the power and ends the file system: of the changes to entries not yet durable, a random
// part at the end of the journal is taken back (possibly all of it); each file whose data is not durable
// keeps it whole or goes back to its last durable content, at random (so a new file whose name stayed
// comes back empty). SIGUSR2 makes everything durable, as sync(1) does. SIGTERM and SIGINT unmount
// cleanly, everything durable. Removed files wait in GRAVE (on the same file system as BACKING) until
// their removal is durable, so that taking it back is a rename.
#define FUSE_USE_VERSION 35

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <fuse3/fuse_lowlevel.h>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

std::string g_backing;
std::string g_grave;
std::mt19937_64 g_random;
volatile sig_atomic_t g_cut = 0;
struct fuse* g_fuse = nullptr;

// One change of a folder's entries, with what takes it back.
struct EntryChange
{
    enum Kind { Made, Removed, Renamed } kind;
    std::string path; // Made, Removed: the name; Renamed: the new name
    std::string from; // Renamed: the old name
    std::string grave; // Removed: where the file waits; Renamed: where a replaced file waits
    std::vector<ino_t> folders; // the folders whose entries it changed
};
std::vector<EntryChange> g_journal;
std::size_t g_durable = 0; // the journal's changes before this one are durable
// The last durable content of each file whose data changed since.
std::map<ino_t, std::string> g_before;
unsigned long g_graveCounter = 0;

std::string real(const char* path)
{
    return g_backing + path;
}

std::string realOf(const std::string& path)
{
    return g_backing + path;
}

std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

ino_t inodeOf(const std::string& realPath)
{
    struct stat info = {};
    return ::lstat(realPath.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::string readAll(const std::string& realPath)
{
    std::string content;
    const int fd = ::open(realPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return content;
    char buffer[1 << 16];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        content.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return content;
}

// Before the file's data changes: its durable content is kept, unless it is kept already.
void rememberData(ino_t inode, const std::string& realPath)
{
    if (inode != 0 && !g_before.count(inode))
        g_before[inode] = readAll(realPath);
}

std::string newGrave()
{
    return g_grave + "/" + std::to_string(++g_graveCounter);
}

int fail()
{
    return -errno;
}

void* fsInit(struct fuse_conn_info*, struct fuse_config* config)
{
    config->use_ino = 1;
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->kernel_cache = 0;
    config->hard_remove = 1;
    return nullptr;
}

int fsGetattr(const char* path, struct stat* info, struct fuse_file_info* file)
{
    if (file && ::fstat(static_cast<int>(file->fh), info) == 0)
        return 0;
    return ::lstat(real(path).c_str(), info) == 0 ? 0 : fail();
}

int fsReadlink(const char* path, char* buffer, size_t size)
{
    const ssize_t n = ::readlink(real(path).c_str(), buffer, size - 1);
    if (n < 0)
        return fail();
    buffer[n] = '\0';
    return 0;
}

int fsReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags)
{
    DIR* dir = ::opendir(real(path).c_str());
    if (!dir)
        return fail();
    while (const dirent* entry = ::readdir(dir)) {
        struct stat info = {};
        info.st_ino = entry->d_ino;
        info.st_mode = static_cast<mode_t>(entry->d_type) << 12;
        fill(buffer, entry->d_name, &info, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    ::closedir(dir);
    return 0;
}

void madeEntry(const char* path)
{
    g_journal.push_back({EntryChange::Made, real(path), {}, {}, {inodeOf(realOf(parentOf(path)))}});
}

int fsMknod(const char* path, mode_t mode, dev_t device)
{
    if (::mknod(real(path).c_str(), mode, device) != 0)
        return fail();
    madeEntry(path);
    return 0;
}

int fsMkdir(const char* path, mode_t mode)
{
    if (::mkdir(real(path).c_str(), mode) != 0)
        return fail();
    madeEntry(path);
    return 0;
}

int fsSymlink(const char* target, const char* path)
{
    if (::symlink(target, real(path).c_str()) != 0)
        return fail();
    madeEntry(path);
    return 0;
}

int fsLink(const char* from, const char* to)
{
    if (::link(real(from).c_str(), real(to).c_str()) != 0)
        return fail();
    madeEntry(to);
    return 0;
}

// A removed file or folder waits in the grave until its removal is durable.
int removeEntry(const char* path, bool folder)
{
    const std::string name = real(path);
    struct stat info = {};
    if (::lstat(name.c_str(), &info) != 0)
        return fail();
    if (folder != S_ISDIR(info.st_mode))
        return folder ? -ENOTDIR : -EISDIR;
    if (folder) {
        DIR* dir = ::opendir(name.c_str());
        if (!dir)
            return fail();
        int entries = 0;
        while (const dirent* entry = ::readdir(dir))
            entries += std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
        ::closedir(dir);
        if (entries > 0)
            return -ENOTEMPTY;
    }
    const std::string grave = newGrave();
    if (::rename(name.c_str(), grave.c_str()) != 0)
        return fail();
    g_journal.push_back({EntryChange::Removed, name, {}, grave, {inodeOf(realOf(parentOf(path)))}});
    return 0;
}

int fsUnlink(const char* path)
{
    return removeEntry(path, false);
}

int fsRmdir(const char* path)
{
    return removeEntry(path, true);
}

int fsRename(const char* from, const char* to, unsigned int flags)
{
    if (flags & ~RENAME_NOREPLACE)
        return -EINVAL;
    const std::string source = real(from);
    const std::string target = real(to);
    struct stat info = {};
    if (::lstat(source.c_str(), &info) != 0)
        return fail();
    std::string replaced;
    if (::lstat(target.c_str(), &info) == 0) {
        if (flags & RENAME_NOREPLACE)
            return -EEXIST;
        if (source == target)
            return 0;
        replaced = newGrave();
        if (::rename(target.c_str(), replaced.c_str()) != 0)
            return fail();
    }
    if (::rename(source.c_str(), target.c_str()) != 0) {
        const int error = errno;
        if (!replaced.empty())
            ::rename(replaced.c_str(), target.c_str());
        return -error;
    }
    g_journal.push_back({EntryChange::Renamed,
                         target,
                         source,
                         replaced,
                         {inodeOf(realOf(parentOf(from))), inodeOf(realOf(parentOf(to)))}});
    return 0;
}

int fsChmod(const char* path, mode_t mode, struct fuse_file_info*)
{
    return ::chmod(real(path).c_str(), mode) == 0 ? 0 : fail();
}

int fsChown(const char* path, uid_t user, gid_t group, struct fuse_file_info*)
{
    return ::lchown(real(path).c_str(), user, group) == 0 ? 0 : fail();
}

int fsTruncate(const char* path, off_t size, struct fuse_file_info* file)
{
    const std::string name = real(path);
    rememberData(inodeOf(name), name);
    const int result = file ? ::ftruncate(static_cast<int>(file->fh), size) : ::truncate(name.c_str(), size);
    return result == 0 ? 0 : fail();
}

int fsUtimens(const char* path, const struct timespec times[2], struct fuse_file_info* file)
{
    const int result = file ? ::futimens(static_cast<int>(file->fh), times)
                            : ::utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    return result == 0 ? 0 : fail();
}

int openReal(const char* path, struct fuse_file_info* file, int flags, mode_t mode)
{
    const std::string name = real(path);
    const bool existed = inodeOf(name) != 0;
    const int fd = ::open(name.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0)
        return fail();
    struct stat info = {};
    ::fstat(fd, &info);
    if (!existed) {
        madeEntry(path);
        g_before[info.st_ino] = std::string(); // never synced: nothing of it is durable
    } else if (flags & O_TRUNC) {
        // Taken before the open emptied it would be right; an open with O_TRUNC of a file with unsynced
        // content is rare enough that its durable content is taken as found.
        g_before.emplace(info.st_ino, std::string());
    }
    file->fh = static_cast<uint64_t>(fd);
    return 0;
}

int fsCreate(const char* path, mode_t mode, struct fuse_file_info* file)
{
    return openReal(path, file, file->flags | O_CREAT, mode);
}

int fsOpen(const char* path, struct fuse_file_info* file)
{
    if (file->flags & O_TRUNC)
        rememberData(inodeOf(real(path)), real(path));
    return openReal(path, file, file->flags & ~O_CREAT, 0);
}

int fsRead(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* file)
{
    const ssize_t n = ::pread(static_cast<int>(file->fh), buffer, size, offset);
    return n < 0 ? fail() : static_cast<int>(n);
}

int fsWrite(const char*, const char* buffer, size_t size, off_t offset, struct fuse_file_info* file)
{
    const int fd = static_cast<int>(file->fh);
    struct stat info = {};
    ::fstat(fd, &info);
    if (!g_before.count(info.st_ino)) {
        std::string content;
        char chunk[1 << 16];
        for (off_t at = 0;;) {
            const ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
            if (got <= 0)
                break;
            content.append(chunk, static_cast<std::size_t>(got));
            at += got;
        }
        g_before[info.st_ino] = content;
    }
    // O_APPEND is the kernel's to honour: the offset it sends is already the end.
    const ssize_t n = ::pwrite(fd, buffer, size, offset);
    return n < 0 ? fail() : static_cast<int>(n);
}

int fsStatfs(const char* path, struct statvfs* info)
{
    return ::statvfs(real(path).c_str(), info) == 0 ? 0 : fail();
}

int fsRelease(const char*, struct fuse_file_info* file)
{
    ::close(static_cast<int>(file->fh));
    return 0;
}

int fsFsync(const char*, int, struct fuse_file_info* file)
{
    struct stat info = {};
    if (::fstat(static_cast<int>(file->fh), &info) == 0)
        g_before.erase(info.st_ino);
    return 0;
}

int fsFsyncdir(const char* path, int, struct fuse_file_info*)
{
    const ino_t folder = inodeOf(real(path));
    for (std::size_t i = g_journal.size(); i > g_durable; --i) {
        for (const ino_t touched : g_journal[i - 1].folders)
            if (touched == folder) {
                g_durable = i;
                return 0;
            }
    }
    return 0;
}

int fsFallocate(const char*, int mode, off_t offset, off_t length, struct fuse_file_info* file)
{
    return ::fallocate(static_cast<int>(file->fh), mode, offset, length) == 0 ? 0 : fail();
}

int fsFlock(const char*, struct fuse_file_info* file, int operation)
{
    return ::flock(static_cast<int>(file->fh), operation) == 0 ? 0 : fail();
}

int fsAccess(const char* path, int mask)
{
    return ::access(real(path).c_str(), mask) == 0 ? 0 : fail();
}

// Every inode under the folder, by the path it has now.
void pathsOf(const std::string& folder, std::map<ino_t, std::string>& paths)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const std::string path = folder + "/" + entry->d_name;
        struct stat info = {};
        if (::lstat(path.c_str(), &info) != 0)
            continue;
        if (S_ISREG(info.st_mode))
            paths.emplace(info.st_ino, path);
        else if (S_ISDIR(info.st_mode))
            pathsOf(path, paths);
    }
    ::closedir(dir);
}

void emptyGrave()
{
    std::map<ino_t, std::string> unused;
    DIR* dir = ::opendir(g_grave.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const std::string path = g_grave + "/" + entry->d_name;
        if (::unlink(path.c_str()) != 0)
            std::system(("rm -rf '" + path + "'").c_str());
    }
    ::closedir(dir);
}

void takeBack(const EntryChange& change)
{
    switch (change.kind) {
    case EntryChange::Made:
        if (::unlink(change.path.c_str()) != 0)
            ::rmdir(change.path.c_str());
        break;
    case EntryChange::Removed:
        ::rename(change.grave.c_str(), change.path.c_str());
        break;
    case EntryChange::Renamed:
        ::rename(change.path.c_str(), change.from.c_str());
        if (!change.grave.empty())
            ::rename(change.grave.c_str(), change.path.c_str());
        break;
    }
}

void cutThePower()
{
    std::uniform_int_distribution<std::size_t> kept(g_durable, g_journal.size());
    const std::size_t keep = kept(g_random);
    for (std::size_t i = g_journal.size(); i > keep; --i)
        takeBack(g_journal[i - 1]);
    std::map<ino_t, std::string> paths;
    pathsOf(g_backing, paths);
    std::size_t dropped = 0;
    for (const auto& [inode, content] : g_before) {
        const auto path = paths.find(inode);
        if (path == paths.end() || g_random() % 2 == 0)
            continue;
        struct stat info = {};
        ::lstat(path->second.c_str(), &info);
        const int fd = ::open(path->second.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::write(fd, content.data(), content.size()) < 0)
            std::perror("write");
        // The times stay as the inode had them.
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(fd, times);
        ::close(fd);
        ++dropped;
    }
    std::fprintf(stderr, "power cut: %zu of %zu entry changes taken back, %zu of %zu files lost their data\n",
                 g_journal.size() - keep, g_journal.size() - g_durable, dropped, g_before.size());
    emptyGrave();
}

void onSignal(int signal)
{
    if (signal == SIGUSR2) {
        g_durable = g_journal.size();
        g_before.clear();
        return;
    }
    g_cut = signal == SIGUSR1;
    if (g_fuse)
        fuse_session_exit(fuse_get_session(g_fuse));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s BACKING GRAVE MOUNTPOINT SEED\n", argv[0]);
        return 2;
    }
    g_backing = argv[1];
    g_grave = argv[2];
    g_random.seed(std::strtoull(argv[4], nullptr, 10));
    struct fuse_operations operations = {};
    operations.init = fsInit;
    operations.getattr = fsGetattr;
    operations.readlink = fsReadlink;
    operations.readdir = fsReaddir;
    operations.mknod = fsMknod;
    operations.mkdir = fsMkdir;
    operations.symlink = fsSymlink;
    operations.link = fsLink;
    operations.unlink = fsUnlink;
    operations.rmdir = fsRmdir;
    operations.rename = fsRename;
    operations.chmod = fsChmod;
    operations.chown = fsChown;
    operations.truncate = fsTruncate;
    operations.utimens = fsUtimens;
    operations.create = fsCreate;
    operations.open = fsOpen;
    operations.read = fsRead;
    operations.write = fsWrite;
    operations.statfs = fsStatfs;
    operations.release = fsRelease;
    operations.fsync = fsFsync;
    operations.fsyncdir = fsFsyncdir;
    operations.fallocate = fsFallocate;
    operations.flock = fsFlock;
    operations.access = fsAccess;

    char* arguments[] = {argv[0], const_cast<char*>("-o"), const_cast<char*>("default_permissions")};
    struct fuse_args args = FUSE_ARGS_INIT(3, arguments);
    g_fuse = fuse_new(&args, &operations, sizeof operations, nullptr);
    if (!g_fuse || fuse_mount(g_fuse, argv[3]) != 0) {
        std::fprintf(stderr, "cannot mount %s\n", argv[3]);
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal; // without SA_RESTART: the loop's read ends and it sees the exit
    for (const int signal : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT})
        ::sigaction(signal, &action, nullptr);
    // Ready: the mount point is ours.
    std::fprintf(stdout, "mounted\n");
    std::fflush(stdout);
    const int loop = fuse_loop(g_fuse);
    fuse_unmount(g_fuse);
    if (g_cut)
        cutThePower();
    else
        emptyGrave();
    fuse_destroy(g_fuse);
    return loop < 0 ? 1 : 0;
}
