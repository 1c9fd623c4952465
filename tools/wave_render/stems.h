// A folder of stems, written as one: every file goes into a hidden folder inside
// it first, and all are moved into place only once each is complete, so that a
// failure leaves no partial set behind.
#pragma once

#include <string>
#include <vector>

#include "tools/wave_render/encode.h"

namespace wave::render {

class StemFolder {
public:
    StemFolder() = default;
    StemFolder(const StemFolder&) = delete;
    StemFolder& operator=(const StemFolder&) = delete;
    // Removes whatever is staged, unless Commit succeeded.
    ~StemFolder();

    // Makes `folder` (and its parents) if it is missing, and the hidden folder
    // inside it where the stems are staged.
    bool Open(const std::string& folder, std::string& error);
    // Writes the file `name` into the staging folder.
    bool Add(const std::string& name, const EncodedFile& file, std::string& error);
    // Moves every staged file into the folder, replacing files of the same names.
    bool Commit(std::string& error);

private:
    void Discard();

    std::string folder_;
    std::string staging_;
    std::vector<std::string> names_;
    bool made_folder_ = false;
};

// Removes the staged stems and their hidden folder; safe to call from a signal handler.
void RemovePartialStems();

}  // namespace wave::render
