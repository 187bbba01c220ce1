#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "FileDescriptor.h"
#include "KvbDescriptorStream.h"

namespace kiva {

// A file written under a temporary name beside the name it is meant to have, which it takes
// only once it is complete (Commit). Until then it is removed when the object goes, and also
// when the process is interrupted or terminated (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE),
// so that no half-written file is ever left behind.
class TPendingFile {
public:
    // Creates the temporary file, tempStem followed by six random characters, in the folder
    // open as folder (the current folder when it holds no descriptor; finalName and tempStem
    // may then be paths). Symbolic links are never followed. Raises naming finalName.
    TPendingFile(TFileDescriptor folder, std::string finalName, std::string tempStem,
                 mode_t mode = 0666);
    ~TPendingFile();
    TPendingFile(const TPendingFile&) = delete;
    TPendingFile& operator=(const TPendingFile&) = delete;

    int Fd() const { return file_.Get(); }
    // A stream over the file, for writers that take one (seeking and reading back work).
    TDescriptorStream& Stream();

    // Flushes the content to the disk before the name is given.
    void Sync();
    // Closes the file and gives it its final name, replacing what had that name. With
    // keepExisting, an existing file of that name stays as it is, and the result is false.
    bool Commit(bool keepExisting = false);

private:
    int FolderFd() const;
    std::string Describe(const char* what) const;

    TFileDescriptor folder_;
    std::string finalName_;
    std::string tempName_;
    TFileDescriptor file_;
    std::unique_ptr<TDescriptorStream> stream_;
    int slot_ = -1;
};

} // namespace kiva
