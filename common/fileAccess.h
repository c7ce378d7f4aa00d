// Who may read a file made from an input (the restored video, mosaic's unmasked stream): never
// anyone who could not read the input. The file takes the input's group where the user may
// set it, else no group bits; its bits are never wider than the input's, whatever the
// folder's setgid bit, default ACL or the umask; and the input's bits count only when the
// input is the user's own.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

// The permission bits for a file made from input, by the user running the job, under umask:
// the input's read and write bits when the input is the user's own, owner-only (0600) when it
// belongs to someone else (its bits say whom that user shares the masked video with, not whom
// this user shares the unmasked one with); then narrowed by the umask; the group bits only
// when the file is in the input's group.
mode_t derived_file_mode(const struct stat& input, uid_t user, mode_t umask, bool in_input_group);

// The umask of the process, read without changing it (077 when it cannot be read).
mode_t current_umask();

// Opens path for writing, O_WRONLY | O_CLOEXEC added to flags (O_CREAT | O_EXCL for a new file
// only, O_CREAT | O_TRUNC to reuse one), for a file made from the input described by input
// (null when unknown: owner-only). A new file is born owner-only; then any access ACL it
// inherited goes, it is given the input's group where the user may set it (a member of that
// group, or root), and its bits become derived_file_mode's. -1 with errno set when it cannot
// be opened or narrowed; a file it created is then removed again.
int open_derived_file(const char* path, int flags, const struct stat* input);
