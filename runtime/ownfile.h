// Files the agent writes for the user alone: logs, the trace log, the mail index.
#pragma once

// Opens path with flags (O_WRONLY or O_RDWR, with O_CREAT, O_APPEND or O_TRUNC as
// wanted; O_CLOEXEC is added). A symbolic link at path is never followed (-1, errno
// ELOOP), so a link planted there cannot make us write into another file. A file that
// exists with any mode but 0600 is brought to it: these files may hold credentials.
// When the mode cannot be changed the file is not used (-1, errno from fchmod).
int openOwnFile(const char* path, int flags);
