#include "tools/kv-pack/pack.h"

#include <sys/stat.h>
#include <unistd.h>

#include "formats/package_layout.h"
#include "formats/stub_record.h"
#include "tools/kv-pack/agent_settings.h"
#include "tools/kv-pack/bundle_dir.h"
#include "tools/kv-pack/file_io.h"
#include "tools/kv-pack/inputs.h"
#include "tools/kv-pack/pending_output.h"
#include "tools/kv-pack/staging_dir.h"
#include "tools/kv-pack/unzip_runner.h"
#include "tools/kv-pack/zip_writer.h"

namespace {

constexpr uint64_t kMaxZipTime = 0xFFFFFFFFu;

// Fills in what the archive records about the file; the caller names the member.
bool memberInfo(const char* role, const std::string& path, const PackOptions& options,
                ZipMemberInfo* info, std::string* err) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    *err = errnoText(std::string("cannot read ") + role + " " + path);
    return false;
  }
  if (options.reproducible) {
    info->mtime = info->atime = options.epoch;
    info->dosTimeInUtc = true;
    info->uid = 0;
    info->gid = 0;
    info->mode = 0644;
  } else {
    info->mtime = status.st_mtime;
    info->atime = status.st_atime;
    info->uid = status.st_uid;
    info->gid = status.st_gid;
    info->mode = status.st_mode & 07777;
  }
  return true;
}

// The bootstrap, with the agent settings given written into its slots.
bool copyBootstrap(const std::string& path, const StubRecord& record, const PackOptions& options,
                   int out, uint64_t* size, std::string* err) {
  struct stat status;
  const UniqueFd in = openForReading(path, &status);
  if (!in.valid()) {
    *err = errnoText("cannot read bootstrap " + path);
    return false;
  }
  *size = static_cast<uint64_t>(status.st_size);
  const std::vector<std::string>& keys = options.agentKeys;
  return copyBytes(in.get(), path, out, *size, nullptr, err) &&
         (options.agentUrl.empty() || writeSlot(out, *record.slot(kStubAgentBaseUrlKey), options.agentUrl, err)) &&
         (keys.empty() || writeSlot(out, *record.slot(kStubAgentKeyKey), keys[0], err)) &&
         (keys.size() < 2 || writeSlot(out, *record.slot(kStubAgentSecondKeyKey), keys[1], err)) &&
         (!options.agentNotBefore ||
          writeSlot(out, *record.slot(kStubAgentNotBeforeKey), std::to_string(*options.agentNotBefore), err));
}

// The package's length and what unzip will write of it, into the slots the
// bootstrap holds its file and the disk to; a stub from before them gets
// neither, and its packages run unchecked.
bool recordSizes(int fd, const StubRecord& record, const ZipWriter& writer, std::string* err) {
  struct stat status;
  if (fstat(fd, &status) != 0) {
    *err = errnoText("cannot read the package's size");
    return false;
  }
  const StubSlot* length = record.slot(kStubPackageLengthKey);
  const StubSlot* unpacked = record.slot(kStubUnpackedSizeKey);
  return (length == nullptr || writeSlot(fd, *length, std::to_string(status.st_size), err)) &&
         (unpacked == nullptr || writeSlot(fd, *unpacked, std::to_string(writer.memberBytes()), err));
}

// Finds out whether the bundle is a directory to zip or an archive to carry.
bool bundleIsDirectory(const PackOptions& options, bool* isDirectory, std::string* err) {
  struct stat status;
  if (stat(options.bundle.c_str(), &status) != 0) {
    *err = errnoText("cannot read bundle " + options.bundle);
    return false;
  }
  *isDirectory = S_ISDIR(status.st_mode);
  if (!*isDirectory && !S_ISREG(status.st_mode)) {
    *err = "bundle " + options.bundle + " is neither a directory nor a ZIP archive";
    return false;
  }
  if (!*isDirectory && options.level >= 0) {
    *err = "--level applies to a bundle directory only; " + options.bundle + " is carried as it is";
    return false;
  }
  return true;
}

bool checkOutputPath(const std::string& output, std::string* err) {
  struct stat status;
  if (stat(output.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    *err = "output " + output + " is a directory";
    return false;
  }
  return true;
}

}  // namespace

bool parseSourceDateEpoch(const std::string& text, time_t* epoch, std::string* err) {
  uint64_t value = 0;
  bool valid = !text.empty() && text.size() <= 10;
  for (char c : text) {
    if (c < '0' || c > '9') valid = false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!valid || value > kMaxZipTime) {
    *err = "SOURCE_DATE_EPOCH must be a whole number of seconds since 1970 up to " +
           std::to_string(kMaxZipTime) + ", not \"" + text + "\"";
    return false;
  }
  *epoch = static_cast<time_t>(value);
  return true;
}

bool packPackage(const PackOptions& options, std::string* err) {
  bool bundleIsDir = false;
  StubRecord record;
  if (!checkBootstrap(options.bootstrap, *options.arch, &record, err) ||
      !checkStubTakesSettings(record, options, err) ||
      (options.agent.empty() &&
       !checkAgentReachable(options.agentUrl.empty() ? record.agentBaseUrl : options.agentUrl, err)) ||
      !bundleIsDirectory(options, &bundleIsDir, err) || !checkOutputPath(options.output, err))
    return false;
  // Taken before unzip reads the files and moves their access times, which
  // the "UT" field records as zip would see them.
  ZipMemberInfo bundleInfo, agentInfo;
  bundleInfo.name = kBundleName;
  agentInfo.name = agentMemberName(options.agent);
  if ((!bundleIsDir && !memberInfo("bundle", options.bundle, options, &bundleInfo, err)) ||
      (!options.agent.empty() && !memberInfo("agent", options.agent, options, &agentInfo, err)))
    return false;

  StagingDir staging;
  if (!staging.create(err)) return false;
  // Testing a big bundle takes unzip about as long as everything else here
  // together, so it runs beside the rest and is waited for at the end.
  ZipTest bundleTest;
  if (!bundleIsDir) bundleTest.start(staging, options.bundle, "bundle");
  if (!options.agent.empty() && (!checkZipArchive(staging, options.agent, "agent", err) ||
                                 !checkAgentHasInstall(staging, options.agent, err)))
    return false;

  std::string bundleZip = options.bundle;
  if (bundleIsDir) {
    bundleZip = staging / kBundleName;
    BundleZipOptions zipOptions{options.level, options.reproducible, options.epoch};
    if (!zipBundleDirectory(options.bundle, zipOptions, staging, bundleZip, err) ||
        !memberInfo("bundle", bundleZip, options, &bundleInfo, err))
      return false;
  }

  PendingOutput output;
  if (!output.create(options.output, err)) return false;
  uint64_t imageSize = 0;
  if (!copyBootstrap(options.bootstrap, record, options, output.fd(), &imageSize, err)) return false;

  ZipWriter writer(output.fd(), imageSize);
  writer.setZip64Threshold(options.zip64Threshold);
  if (!writer.addFile(bundleZip, bundleInfo, err) ||
      (!options.agent.empty() && !writer.addFile(options.agent, agentInfo, err)) ||
      !writer.finish(err) || !recordSizes(output.fd(), record, writer, err))
    return false;

  if (!checkZipArchive(staging, output.tempPath(), "written package", err)) return false;
  if (!bundleIsDir && !bundleTest.passed(err)) return false;
  return output.commit(err);
}
