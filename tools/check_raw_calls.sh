#!/usr/bin/env bash
# Every system call of the engine goes through the host layer's wrappers, which the failure
# seam counts, so that tests can fail any of them. This check finds a file or directory call
# made anywhere else in the engine: outside engine/platform, or in a platform file outside
# the section that holds the wrappers (from "---- the system calls, each through the failure
# seam" to "---- end of the system calls").
#   check_raw_calls.sh ENGINE_DIR
set -euo pipefail
engine="${1:-$(dirname "$0")/../engine}"

calls='open|openat|creat|read|write|pread|pwrite|readv|writev|close|unlink|unlinkat|rename|renameat|renameat2|link|linkat|symlink|mkdir|mkdirat|rmdir|fsync|fdatasync|futimens|utimensat|stat|lstat|fstat|fstatat|fcntl|lseek|ftruncate|truncate|opendir|fdopendir|readdir|closedir|access|faccessat|copy_file_range|sendfile|dup|dup2'
calls+='|CreateFileA|CreateFileW|ReadFile|WriteFile|CloseHandle|MoveFileA|MoveFileExA|DeleteFileA|CreateDirectoryA|RemoveDirectoryA|FlushFileBuffers|FindFirstFileA|FindNextFileA|FindClose|GetFileInformationByHandle|GetFileSizeEx|GetFileSize|GetFileAttributesA|GetFileType|SetFileInformationByHandle|SetFilePointer|SetFilePointerEx|SetEndOfFile|SetFileTime|NtCreateFile'
calls+='|_open|_read|_write|_close|_lseek|_lseeki64|_mkdir|_unlink'

status=0
while IFS= read -r -d '' file; do
  # Drops the wrapper section, comments and string literals, then looks for a call: the
  # name not preceded by a letter, digit, '_', '.', '>' or ':' (a member or a longer name).
  found=$(awk '
      /---- the system calls, each through the failure seam/ { skip = 1 }
      /---- end of the system calls/ { skip = 0; next }
      !skip { print FILENAME ":" FNR ":" $0 }' "$file" |
    sed -E -e 's#//.*$##' -e 's#"([^"\\]|\\.)*"#""#g' |
    grep -E "(^|[^A-Za-z0-9_.>:])($calls)[[:space:]]*\(" || true)
  if [ -n "$found" ]; then
    echo "$found"
    status=1
  fi
done < <(find "$engine" -name '*.cpp' -print0 -o -name '*.h' -print0)

if [ $status -ne 0 ]; then
  echo "system calls outside the host layer's wrappers (route them through a sys* wrapper)"
else
  echo "no system call outside the host layer's wrappers"
fi
exit $status
