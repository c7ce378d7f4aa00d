#include "common/fileAccess.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

mode_t derived_file_mode(const struct stat& input, uid_t user, mode_t umask, bool in_input_group) {
    mode_t mode = input.st_uid == user ? (input.st_mode & 0666) : 0600;
    mode &= ~umask;
    if (!in_input_group) mode &= ~static_cast<mode_t>(0070);
    return mode & 0666;
}

mode_t current_umask() {
    // Linux shows it in the status file (since 4.7); umask() itself would have to change it
    // for a moment, under the feet of other threads creating files.
    mode_t mask = 077;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned value = 0;
        while (std::fgets(line, sizeof(line), status) != nullptr) {
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value & 0777);
                break;
            }
        }
        std::fclose(status);
    }
    return mask;
}

int open_derived_file(const char* path, int flags, const struct stat* input) {
    int fd;
    do {
        fd = ::open(path, flags | O_WRONLY | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat made {};
    // Created here (a new file is empty and ours): what to undo on failure.
    const bool created = (flags & O_EXCL) != 0;
    const auto fail = [&] {
        const int error = errno;
        ::close(fd);
        if (created) ::unlink(path);
        errno = error;
        return -1;
    };
    if (fstat(fd, &made) != 0) return fail();
    // An ACL inherited from the folder's default ACL could let named users or groups in that
    // the input did not: the bits alone decide. (Usually there is none, or the file system
    // has no ACLs; a file we may not change fails at fchmod below.)
    fremovexattr(fd, "system.posix_acl_access");
    bool in_input_group = false;
    if (input != nullptr) {
        in_input_group = made.st_gid == input->st_gid || fchown(fd, static_cast<uid_t>(-1), input->st_gid) == 0;
    }
    struct stat owner_only {};
    owner_only.st_uid = geteuid();
    owner_only.st_mode = 0600;
    const mode_t mode =
        derived_file_mode(input != nullptr ? *input : owner_only, geteuid(), current_umask(), in_input_group);
    if (fchmod(fd, mode) != 0) return fail();
    return fd;
}
