// Files that appear whole or not at all: written under a temporary name
// beside their final path and renamed over it only when complete, so the
// final path holds either what it held before or the finished file, after a
// failure, a signal or a power cut alike.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "error.h"

namespace lmr::staging {

// The temporary file of one target, created empty and locked by this
// process. Dropping it uncommitted removes it. Move-only.
class PendingFile {
 public:
  // Creates the temporary file in the target's folder (".<name>.lmr-<pid>-
  // <n><extensions>", so it keeps the target's extensions) and removes the
  // ones a killed run left for the same target. Fails when the target is a
  // folder or its folder cannot take the file.
  static Result<PendingFile> create(const std::filesystem::path& target);

  // Where to write.
  const std::filesystem::path& path() const;
  const std::filesystem::path& target() const;
  // Flushes the file to the disk, renames it over the target and flushes the
  // folder. After a failure the target is unchanged and the temporary file
  // is removed when this is dropped.
  Status commit();

  PendingFile(PendingFile&&) noexcept;
  PendingFile& operator=(PendingFile&&) noexcept;
  ~PendingFile();

 private:
  struct State;
  explicit PendingFile(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Writes `bytes` to `target` through a PendingFile.
Status write_file(const std::filesystem::path& target, std::string_view bytes);

// The temporary name for `target` with the marker "lmr-<tag>".
std::filesystem::path temporary_name(const std::filesystem::path& target, std::string_view tag);

}  // namespace lmr::staging
