#include "tools/wave_render/output.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <span>

namespace wave::render {

namespace {

// A name still to be removed should the program be stopped: the named temporary
// file being written, or for an instant the second name of a finished one. An
// unnamed file needs no removing.
char partial_path[4096] = {};

void SetPartial(const std::string& path) {
    partial_path[0] = 0;
    if (path.size() < sizeof partial_path) std::memcpy(partial_path, path.c_str(), path.size() + 1);
}

void RemovePartial() {
    if (partial_path[0] != 0) unlink(partial_path);
    partial_path[0] = 0;
}

// Closes its descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    void Reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    // Closes now, for callers that must know that the close succeeded.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

private:
    int fd_;
};

bool WriteAll(int fd, std::span<const unsigned char> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const EncodedFile& file) {
    return WriteAll(fd, file.head) && WriteAll(fd, file.tail);
}

std::size_t Size(const EncodedFile& file) {
    return file.head.size() + file.tail.size();
}

std::string Shown(const std::string& path) {
    return path == "-" ? std::string("standard output") : path;
}

std::string Failure(const std::string& path) {
    return "cannot write " + Shown(path) + ": " + std::strerror(errno);
}

std::string FolderFailure(const std::string& path, const std::string& folder) {
    // The file cannot be made, so it is the folder that the user must see to.
    return "cannot write " + path + ": cannot create a file in the folder " + folder + ": " +
           std::strerror(errno);
}

std::string Folder(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The descriptor that /dev/stdout, /dev/stderr, /dev/fd/N or /proc/self/fd/N
// names, or -1.
int NamedDescriptor(const std::string& path) {
    if (path == "/dev/stdout") return STDOUT_FILENO;
    if (path == "/dev/stderr") return STDERR_FILENO;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::string_view number = std::string_view(path).substr(
            path.starts_with(prefix) ? std::strlen(prefix) : path.size());
        if (number.empty() || number.size() > 9) continue;
        int fd = 0;
        for (const char c : number) {
            if (c < '0' || c > '9') return -1;
            fd = fd * 10 + (c - '0');
        }
        return fd;
    }
    return -1;
}

// Where a link named `path` finally points, following every link on the way; a
// path that is not a link is its own target. The last target need not exist.
bool FollowLinks(const std::string& path, std::string& target) {
    target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096), '\0');
        const ssize_t n = readlink(target.c_str(), link.data(), link.size());
        if (n < 0) return false;
        link.resize(static_cast<std::size_t>(n));
        target = link.starts_with('/') ? link : Folder(target) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

bool MayWrite(const std::string& path) {
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool MayCreateIn(const std::string& folder) {
    return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// How the bytes reach what the user named.
enum class Way {
    kDescriptor,  // write to an open descriptor: '-', /dev/stdout, /dev/fd/N
    kStream,      // open and write: a FIFO, a device, a socket
    kReplace,     // a new file beside the target, linked into place when complete
    kInPlace,     // into the existing file itself (see WriteInPlace)
};

struct Plan {
    Way way = Way::kReplace;
    int fd = -1;         // kDescriptor
    std::string target;  // the file written, past every link
    std::string folder;  // the target's folder
    bool exists = false;
    struct stat old {};  // the target's, when it exists
    mode_t mode = 0;     // the permissions the written file gets
};

// How `path` is to be written, and whether the user may write it there, as cp or
// the shell's '>' would decide: a file the user may not write is refused (root
// may write any). Changes nothing.
bool MakePlan(const std::string& path, Plan& plan, std::string& error) {
    plan = Plan{};
    if (path == "-") {
        plan.way = Way::kDescriptor;
        plan.fd = STDOUT_FILENO;
        return true;
    }
    // A pipe or a terminal named as /dev/stdout is written as itself: its links
    // lead to names such as "pipe:[1234]", which are no files.
    struct stat given {};
    const bool found = stat(path.c_str(), &given) == 0;
    if (found && !S_ISREG(given.st_mode) && !S_ISDIR(given.st_mode)) {
        plan.fd = NamedDescriptor(path);
        plan.way = plan.fd >= 0 ? Way::kDescriptor : Way::kStream;
        return true;
    }
    if (!found && NamedDescriptor(path) >= 0) {
        errno = EBADF;  // a descriptor that is not open
        error = Failure(path);
        return false;
    }
    // A link is written through: its target is replaced, and the link stays.
    if (!FollowLinks(path, plan.target)) {
        error = Failure(path);
        return false;
    }
    plan.folder = Folder(plan.target);
    plan.exists = stat(plan.target.c_str(), &plan.old) == 0;
    if (plan.exists && S_ISDIR(plan.old.st_mode)) {
        errno = EISDIR;
        error = Failure(path);
        return false;
    }
    if (plan.exists && !S_ISREG(plan.old.st_mode)) {
        plan.way = Way::kStream;
        return true;
    }
    const long name_max = pathconf(plan.folder.c_str(), _PC_NAME_MAX);
    if (name_max > 0 && BaseName(plan.target).size() > static_cast<std::size_t>(name_max)) {
        errno = ENAMETOOLONG;
        error = Failure(path);
        return false;
    }
    if (!plan.exists) {
        if (!MayCreateIn(plan.folder)) {
            error = FolderFailure(path, plan.folder);
            return false;
        }
        const mode_t mask = umask(0);
        umask(mask);
        plan.mode = 0666 & ~mask;
        return true;
    }
    if (!MayWrite(plan.target)) {
        error = Failure(path);
        return false;
    }
    plan.mode = plan.old.st_mode & 07777;
    // A new file can be given back to the owner only by root; another user's file
    // that this user may write is written in place, as cp does, so that it stays
    // theirs. So is a file whose folder takes no new files.
    const bool owner_kept = geteuid() == 0 || plan.old.st_uid == geteuid();
    plan.way = owner_kept && MayCreateIn(plan.folder) ? Way::kReplace : Way::kInPlace;
    return true;
}

bool WriteDescriptor(const std::string& path, int fd, const EncodedFile& file, std::string& error) {
    if (!WriteAll(fd, file)) {
        error = Failure(path);
        return false;
    }
    return true;
}

bool WriteStream(const std::string& path, const EncodedFile& file, std::string& error) {
    Descriptor fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0 || !WriteAll(fd.get(), file) || !fd.Close()) {
        error = Failure(path);
        return false;
    }
    return true;
}

// Writes into the existing file: its owner, group, mode and links stay. The room
// is reserved and the size limit checked first, so that a full disk or a limit
// leaves the file as it was; only a kill while the bytes go in leaves it mixed.
bool WriteInPlace(const std::string& path, const Plan& plan, const EncodedFile& file,
                  std::string& error) {
    const auto size = static_cast<off_t>(Size(file));
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(size) > limit.rlim_cur) {
        errno = EFBIG;
        error = Failure(path);
        return false;
    }
    Descriptor fd(open(plan.target.c_str(), O_WRONLY | O_CLOEXEC));
    bool ok = fd.get() >= 0;
    if (ok && fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, size) != 0) {
        ok = errno == EOPNOTSUPP || errno == ENOSYS;  // filesystems that cannot reserve
    }
    ok = ok && WriteAll(fd.get(), file) && ftruncate(fd.get(), size) == 0 && fsync(fd.get()) == 0 &&
         fd.Close();
    if (!ok) error = Failure(path);
    return ok;
}

// "." + the target's name + ".XXXXXX", the name cut so that the whole fits the
// folder's longest name.
std::string TemporaryName(const Plan& plan) {
    std::string name = BaseName(plan.target);
    const long name_max = pathconf(plan.folder.c_str(), _PC_NAME_MAX);
    const std::size_t room = name_max > 8 ? static_cast<std::size_t>(name_max) - 8 : 0;
    if (name.size() > room) name.resize(room);
    return plan.folder + "/." + name + ".XXXXXX";
}

// Gives the written file the target's owner, group and mode. Where its group
// cannot be kept, the group gets no more than everyone else had, and the set-ID
// bits go, so that no one gains access through the new group.
bool KeepOwnerAndMode(int fd, const Plan& plan) {
    mode_t mode = plan.mode;
    struct stat now {};
    if (fstat(fd, &now) != 0) return false;
    if (plan.exists && (now.st_uid != plan.old.st_uid || now.st_gid != plan.old.st_gid) &&
        fchown(fd, plan.old.st_uid, plan.old.st_gid) != 0) {
        if (now.st_uid != plan.old.st_uid) return false;
        const mode_t others_as_group = (mode & S_IRWXO) << 3;
        mode = (mode & ~(S_ISUID | S_ISGID | S_IRWXG)) | (mode & S_IRWXG & others_as_group);
    }
    return fchmod(fd, mode) == 0;
}

// Puts the complete file `source` in place of the target: a second name in the
// folder, then renamed over the target. Between the two, a window of a few
// microseconds, a kill would leave that name; a stop signal removes it.
bool LinkOver(const char* source, const Plan& plan) {
    std::string second = TemporaryName(plan);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6] = {};
        if (getrandom(random, sizeof random, 0) != sizeof random) return false;
        for (std::size_t i = 0; i < 6; ++i) {
            second[second.size() - 6 + i] =
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"[random[i] % 64];
        }
        if (linkat(AT_FDCWD, source, AT_FDCWD, second.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            SetPartial(second);
            const bool ok = rename(second.c_str(), plan.target.c_str()) == 0;
            const int saved = errno;
            RemovePartial();
            errno = saved;
            return ok;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Writes a new file and puts it in place of the target only once it is complete.
// Where the filesystem allows, the file has no name while it is written, so that
// nothing is left however the program ends; elsewhere it is a hidden file beside
// the target, removed on failure and by the stop signals.
bool WriteReplacing(const std::string& path, const Plan& plan, const EncodedFile& file,
                    std::string& error) {
    // Linking an unnamed file takes its name under /proc.
    const bool can_link = access("/proc/self/fd", X_OK) == 0;
    Descriptor fd(can_link ? open(plan.folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)
                           : -1);
    const bool named =
        fd.get() < 0 && (!can_link || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    if (named) {
        SetPartial(TemporaryName(plan));
        fd.Reset(mkostemp(partial_path, O_CLOEXEC));
    }
    if (fd.get() < 0) {
        error = FolderFailure(path, plan.folder);
        partial_path[0] = 0;
        return false;
    }
    bool ok = WriteAll(fd.get(), file) && KeepOwnerAndMode(fd.get(), plan) && fsync(fd.get()) == 0;
    if (named) {
        ok = fd.Close() && ok && rename(partial_path, plan.target.c_str()) == 0;
        const int saved = errno;
        if (ok) partial_path[0] = 0;
        RemovePartial();
        errno = saved;
    } else if (ok) {
        const std::string source = "/proc/self/fd/" + std::to_string(fd.get());
        // A new target is linked straight into place; one that exists (or has
        // appeared since) is replaced.
        ok = (!plan.exists && linkat(AT_FDCWD, source.c_str(), AT_FDCWD, plan.target.c_str(),
                                     AT_SYMLINK_FOLLOW) == 0) ||
             ((plan.exists || errno == EEXIST) && LinkOver(source.c_str(), plan));
        // The file is on disk (fsync): closing it can no longer lose its bytes.
    }
    if (!ok) error = Failure(path);
    return ok;
}

}  // namespace

bool CheckOutput(const std::string& path, std::string& error) {
    try {
        Plan plan;
        return MakePlan(path, plan, error);
    } catch (const std::bad_alloc&) {
        error = "cannot write " + path + ": out of memory";
        return false;
    }
}

bool WriteOutput(const std::string& path, const EncodedFile& file, std::string& error) {
    try {
        Plan plan;
        if (!MakePlan(path, plan, error)) return false;
        switch (plan.way) {
            case Way::kDescriptor:
                return WriteDescriptor(path, plan.fd, file, error);
            case Way::kStream:
                return WriteStream(path, file, error);
            case Way::kInPlace:
                return WriteInPlace(path, plan, file, error);
            case Way::kReplace:
                return WriteReplacing(path, plan, file, error);
        }
        return false;
    } catch (const std::bad_alloc&) {
        RemovePartial();
        error = "cannot write " + path + ": out of memory";
        return false;
    }
}

void RemovePartialOutput() {
    if (partial_path[0] != 0) unlink(partial_path);
}

bool IsTerminal(const std::string& path) {
    if (path == "-") return isatty(STDOUT_FILENO) == 1;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;  // the write will say why
    const bool terminal = isatty(fd) == 1;
    close(fd);
    return terminal;
}

}  // namespace wave::render
