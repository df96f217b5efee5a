#ifndef KV_BOOTSTRAP_PACKAGE_SIZE_H_
#define KV_BOOTSTRAP_PACKAGE_SIZE_H_

// What kv-pack recorded of the package's size, held against the package's
// own file before anything is unpacked, and against the free space of the
// file system it is unpacked into before unzip starts.

#include <cstdint>
#include <optional>
#include <string>

#include "os/report.h"

/// The record's size slots; a package made before them has neither.
struct PackageSizes {
  std::optional<uint64_t> length;    ///< the whole package file
  std::optional<uint64_t> unpacked;  ///< what unzip writes
};

/// Reads this bootstrap's own size slots; false, after reporting, when one
/// is damaged.
bool readPackageSizes(PackageSizes* sizes, ReportFn report);

/// True when the package's own file has the recorded length, or none is
/// recorded; false after reporting that the file is incomplete or damaged.
bool packageIsWhole(const PackageSizes& sizes, ReportFn report);

/// True when the file system of `dir` has room for what unzip writes, or
/// that is not known; false after reporting what is needed and what is free
/// in `shownDir`, the directory a user can do something about.
bool roomToUnpack(const std::string& dir, const PackageSizes& sizes, const std::string& shownDir,
                  ReportFn report);

#endif  // KV_BOOTSTRAP_PACKAGE_SIZE_H_
