// Names of the temporary files every writer of this system creates beside its target, and their recognition.
#pragma once

#include <sys/types.h>

#include <string>

namespace warpmender {

// ".<name of target, at most 96 bytes>.tmp-<pid>-<n><suffix>" in the target's folder:
//   "out/a_b0.stc", pid 4242, n 7  ->  "out/.a_b0.stc.tmp-4242-7"
//   "out/a.nii.gz" with suffix ".nii.gz" -> "out/.a.nii.gz.tmp-4242-8.nii.gz" (nifticlib compresses by suffix)
// The PID lets a later run tell a leftover of a dead process from one still being written.
std::string temporary_name_for(const std::string& target, unsigned long n, const std::string& suffix = "");

// Creates a temporary file beside target with O_CREAT | O_EXCL | O_NOFOLLOW,
// so that it is never a file (or link) someone else put there; mode 0666
// before the umask, as fopen would. Returns the descriptor and sets *path, or
// -1 with errno set.
int create_temporary_beside(const std::string& target, const std::string& suffix, std::string* path);

// For a signal handler about to remove this process's temporaries: from now
// on no temporary is created (the calls fail with EINTR), and this returns
// once no other thread is still creating one. Safe in a signal handler.
void stop_creating_temporaries();

// True when a bare file name is of the pattern above (the suffix being "",
// ".nii" or ".nii.gz"); *pid is then the writer's process. Safe in a signal handler.
bool is_temporary_name(const char* name, pid_t* pid);

}  // namespace warpmender
