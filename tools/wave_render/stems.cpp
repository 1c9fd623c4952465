#include "tools/wave_render/stems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/wave_render/output.h"

namespace wave::render {

namespace {

// What a stop signal removes: the staging folder and the names staged in it, as
// fixed buffers, so that the handler only unlinks.
constexpr int kMaxStaged = 16;
char staged_paths[kMaxStaged][4096] = {};
char staging_path[4096] = {};

void CopyPath(char (&to)[4096], const std::string& from) {
    const std::size_t n = std::min(from.size(), sizeof to - 1);
    std::memcpy(to, from.data(), n);
    to[n] = 0;
}

// mkdir -p: makes `path` and every missing folder above it.
bool MakeFolders(const std::string& path, bool& made) {
    made = false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    const std::size_t slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
    if (slash != std::string::npos && slash > 0) {
        bool parent_made = false;
        if (!MakeFolders(path.substr(0, slash), parent_made)) return false;
    }
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
    made = true;
    return true;
}

}  // namespace

StemFolder::~StemFolder() {
    Discard();
}

bool StemFolder::Open(const std::string& folder, std::string& error) {
    folder_ = folder.empty() ? "." : folder;
    if (!MakeFolders(folder_, made_folder_)) {
        error = "cannot make the folder " + folder_ + ": " + std::strerror(errno);
        return false;
    }
    std::string staging = folder_ + "/.wave-render-stems.XXXXXX";
    if (mkdtemp(staging.data()) == nullptr) {
        error = "cannot write in the folder " + folder_ + ": " + std::strerror(errno);
        return false;
    }
    staging_ = staging;
    CopyPath(staging_path, staging_);
    return true;
}

bool StemFolder::Add(const std::string& name, const EncodedFile& file, std::string& error) {
    if (names_.size() >= kMaxStaged) {
        error = "too many stems";
        return false;
    }
    const std::string path = staging_ + "/" + name;
    CopyPath(staged_paths[names_.size()], path);
    names_.push_back(name);
    if (!WriteOutput(path, file, error)) {
        // The message names the hidden folder: say what the user asked for instead.
        error = "cannot write " + folder_ + "/" + name + ": " +
                error.substr(error.find(": ") == std::string::npos ? 0 : error.find(": ") + 2);
        return false;
    }
    return true;
}

bool StemFolder::Commit(std::string& error) {
    // Every place is checked before the first file moves, so that a set is not
    // left half in place for a name that cannot be replaced.
    for (const std::string& name : names_) {
        const std::string to = folder_ + "/" + name;
        struct stat st {};
        if (lstat(to.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            error = "cannot write " + to + ": " + std::strerror(EISDIR);
            return false;
        }
        if (!CheckOutput(to, error)) return false;
    }
    for (const std::string& name : names_) {
        const std::string from = staging_ + "/" + name, to = folder_ + "/" + name;
        if (rename(from.c_str(), to.c_str()) != 0) {
            error = "cannot write " + to + ": " + std::strerror(errno);
            return false;
        }
    }
    rmdir(staging_.c_str());
    names_.clear();
    staging_.clear();
    made_folder_ = false;
    for (auto& path : staged_paths)
        path[0] = 0;
    staging_path[0] = 0;
    return true;
}

void StemFolder::Discard() {
    if (staging_.empty()) return;
    for (const std::string& name : names_)
        unlink((staging_ + "/" + name).c_str());
    rmdir(staging_.c_str());
    if (made_folder_) rmdir(folder_.c_str());
    staging_.clear();
    names_.clear();
    for (auto& path : staged_paths)
        path[0] = 0;
    staging_path[0] = 0;
}

void RemovePartialStems() {
    if (staging_path[0] == 0) return;
    for (auto& path : staged_paths) {
        if (path[0] != 0) unlink(path);
        path[0] = 0;
    }
    rmdir(staging_path);
}

}  // namespace wave::render
