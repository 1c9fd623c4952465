#include "tools/wave_render/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

namespace wave::render {

namespace {

// The temporary file being written, for RemovePartialOutput.
char partial_path[4096] = {};

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

std::string Failure(const std::string& path) {
    return "cannot write " + (path == "-" ? std::string("standard output") : path) + ": " +
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

bool WriteDirect(const std::string& path, int fd, const EncodedFile& file, std::string& error) {
    if (!WriteAll(fd, file)) {
        error = Failure(path);
        return false;
    }
    return true;
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

// `target` is where the bytes go; `path` is what the user named, for messages.
bool WriteByRename(const std::string& path, const std::string& target, const EncodedFile& file,
                   mode_t mode, std::string& error) {
    const std::string folder = Folder(target);
    const std::string temp = folder + "/." + BaseName(target) + ".XXXXXX";
    if (temp.size() >= sizeof partial_path) {
        errno = ENAMETOOLONG;
        error = Failure(path);
        return false;
    }
    std::memcpy(partial_path, temp.c_str(), temp.size() + 1);
    const int fd = mkstemp(partial_path);
    if (fd < 0) {
        // The file cannot be made, so it is the folder that the user must see to.
        error = "cannot write " + path + ": cannot create a file in the folder " + folder + ": " +
                std::strerror(errno);
        partial_path[0] = 0;
        return false;
    }
    bool ok = WriteAll(fd, file) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok && rename(partial_path, target.c_str()) == 0) {
        partial_path[0] = 0;
        return true;
    }
    error = Failure(path);
    unlink(partial_path);
    partial_path[0] = 0;
    return false;
}

}  // namespace

bool WriteOutput(const std::string& path, const EncodedFile& file, std::string& error) {
    if (path == "-") return WriteDirect(path, STDOUT_FILENO, file, error);

    // A link is written through: its target is replaced, and the link stays.
    std::string target;
    if (!FollowLinks(path, target)) {
        error = Failure(path);
        return false;
    }
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        error = Failure(path);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A FIFO, a device or a socket: there is nothing to rename over.
        const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            error = Failure(path);
            return false;
        }
        bool ok = WriteDirect(path, fd, file, error);
        if (close(fd) != 0 && ok) {
            error = Failure(path);
            ok = false;
        }
        return ok;
    }
    // A new file gets the usual permissions; a replaced one keeps its own.
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    return WriteByRename(path, target, file, mode, error);
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
