#ifndef KV_OS_STREAM_HANDLES_H_
#define KV_OS_STREAM_HANDLES_H_

#include <dirent.h>

#include <cstdio>
#include <memory>

// Owners of a stdio stream and of a directory stream, closed on every path.
// Shared by the bootstrap and kv-pack. A caller that must know whether the
// close succeeded (a file written through stdio) closes it itself, with
// fclose(handle.release()).

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

#endif  // KV_OS_STREAM_HANDLES_H_
