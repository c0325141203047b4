#include "platform/zipfoundation/unzip.h"

#include <sys/stat.h>
#include <unzip.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"

const std::string ZIPArchiveErrorDomain = "ZIPArchiveErrorDomain";

namespace {

constexpr unsigned kMadeByUnix = 3;

bool Fail(std::shared_ptr<NSError>* error, ZIPArchiveError code, const std::string& text) {
  if (error != nullptr) {
    *error = NSError::errorWithDomain(ZIPArchiveErrorDomain, code,
                                      {{NSLocalizedDescriptionKey, text}});
  }
  return false;
}

struct Entry {
  std::string name;
  bool directory = false;
};

// Closes the archive on every path.
struct Archive {
  explicit Archive(const std::string& path) : file(unzOpen64(path.c_str())) {}
  ~Archive() {
    if (file != nullptr) unzClose(file);
  }
  unzFile file;
};

// What the writing pass made, so that an archive refused half-way leaves nothing behind.
struct Written {
  std::vector<std::filesystem::path> files;
  std::vector<std::filesystem::path> folders;  // in the order made

  void Remove() {
    std::error_code ec;
    for (const auto& file : files) std::filesystem::remove(file, ec);
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) std::filesystem::remove(*it, ec);
  }
  // Notes the folders that making `folder` will add, outermost first.
  void NoteMissingFolders(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> missing;
    std::error_code ec;
    for (auto p = folder; !p.empty() && !std::filesystem::exists(p, ec); p = p.parent_path()) {
      missing.push_back(p);
      if (p == p.parent_path()) break;
    }
    folders.insert(folders.end(), missing.rbegin(), missing.rend());
  }
  bool MakeFolders(const std::filesystem::path& folder, std::error_code& ec) {
    NoteMissingFolders(folder);
    std::filesystem::create_directories(folder, ec);
    return !ec;
  }
};

bool ValidName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) return false;
  for (absl::string_view part : absl::StrSplit(name, '/')) {
    if (part == "..") return false;
  }
  return true;
}

}  // namespace

bool unzipItem(const NSFileManager& file_manager, const NSURL& source, const NSURL& destination,
               bool skipCRC32, std::shared_ptr<NSError>* error) {
  const std::string archive_path = source.path();
  const std::filesystem::path root(destination.path());
  Archive archive(archive_path);
  if (archive.file == nullptr) {
    return Fail(error, ZIPArchiveErrorUnreadableArchive,
                absl::StrCat("The archive at ", archive_path, " cannot be read."));
  }
  const std::string archive_name = std::filesystem::path(archive_path).filename().string();
  const bool into_own_folder =
      std::filesystem::weakly_canonical(std::filesystem::path(archive_path).parent_path()) ==
      std::filesystem::weakly_canonical(root);

  // First pass: every entry is checked before anything is written.
  std::vector<Entry> entries;
  uint64_t declared_bytes = 0;
  int status = unzGoToFirstFile(archive.file);
  while (status == UNZ_OK) {
    unz_file_info64 info;
    char name[4096];
    if (unzGetCurrentFileInfo64(archive.file, &info, name, sizeof(name), nullptr, 0, nullptr, 0) !=
            UNZ_OK ||
        info.size_filename >= sizeof(name)) {
      return Fail(error, ZIPArchiveErrorUnreadableArchive,
                  absl::StrCat("The archive at ", archive_path, " has an unreadable entry."));
    }
    if (__builtin_add_overflow(declared_bytes, info.uncompressed_size, &declared_bytes) ||
        declared_bytes > kZIPArchiveMaxUncompressedBytes) {
      return Fail(error, ZIPArchiveErrorTooLarge,
                  absl::StrCat("The archive at ", archive_path, " unpacks to more than ",
                               kZIPArchiveMaxUncompressedBytes, " bytes."));
    }
    Entry entry{std::string(name, info.size_filename), false};
    if (!ValidName(entry.name)) {
      return Fail(error, ZIPArchiveErrorInvalidEntryPath,
                  absl::StrCat("The entry \"", entry.name, "\" would be written outside ",
                               root.string(), "."));
    }
    const unsigned mode = static_cast<unsigned>(info.external_fa >> 16);
    if ((info.version >> 8) == kMadeByUnix && S_ISLNK(mode)) {
      return Fail(error, ZIPArchiveErrorSymbolicLinkEntry,
                  absl::StrCat("The entry \"", entry.name, "\" is a symbolic link."));
    }
    entry.directory = entry.name.back() == '/';
    std::string relative = entry.name;
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    if (into_own_folder && relative == archive_name) {
      return Fail(error, ZIPArchiveErrorInvalidEntryPath,
                  absl::StrCat("The entry \"", entry.name, "\" would replace the archive."));
    }
    if (!entry.directory && file_manager.fileExistsAtPath((root / relative).string())) {
      return Fail(error, ZIPArchiveErrorEntryExists,
                  absl::StrCat("The entry \"", entry.name, "\" already exists at ",
                               (root / relative).string(), "."));
    }
    entries.push_back(std::move(entry));
    status = unzGoToNextFile(archive.file);
  }
  if (status != UNZ_END_OF_LIST_OF_FILE) {
    return Fail(error, ZIPArchiveErrorUnreadableArchive,
                absl::StrCat("The archive at ", archive_path, " is damaged."));
  }

  // Second pass: write.
  Written written_items;
  written_items.NoteMissingFolders(root);
  std::shared_ptr<NSError> dir_error;
  if (!file_manager.createDirectoryAtPath(root.string(), true, {}, &dir_error)) {
    if (error != nullptr) *error = dir_error;
    return false;
  }
  uint64_t unpacked_bytes = 0;
  status = unzGoToFirstFile(archive.file);
  for (const Entry& entry : entries) {
    if (status != UNZ_OK) {
      return Fail(error, ZIPArchiveErrorUnreadableArchive,
                  absl::StrCat("The archive at ", archive_path, " is damaged."));
    }
    const std::filesystem::path target = root / entry.name;
    std::error_code ec;
    if (!written_items.MakeFolders(entry.directory ? target : target.parent_path(), ec)) {
      return Fail(error, ZIPArchiveErrorWriteFailed,
                  absl::StrCat("Cannot create the folder for \"", entry.name, "\": ", ec.message()));
    }
    if (!entry.directory) {
      if (unzOpenCurrentFile(archive.file) != UNZ_OK) {
        return Fail(error, ZIPArchiveErrorUnreadableArchive,
                    absl::StrCat("The entry \"", entry.name, "\" cannot be read."));
      }
      FILE* out = std::fopen(target.c_str(), "wb");
      if (out == nullptr) {
        unzCloseCurrentFile(archive.file);
        return Fail(error, ZIPArchiveErrorWriteFailed,
                    absl::StrCat("Cannot write \"", entry.name, "\"."));
      }
      written_items.files.push_back(target);
      char buffer[1 << 15];
      int n;
      bool written = true;
      bool too_large = false;
      while ((n = unzReadCurrentFile(archive.file, buffer, sizeof(buffer))) > 0) {
        unpacked_bytes += static_cast<uint64_t>(n);
        if (unpacked_bytes > kZIPArchiveMaxUncompressedBytes) {
          too_large = true;
          break;
        }
        written = written && std::fwrite(buffer, 1, static_cast<size_t>(n), out) ==
                                 static_cast<size_t>(n);
      }
      written = std::fclose(out) == 0 && written;
      const int closed = unzCloseCurrentFile(archive.file);
      if (too_large) {
        written_items.Remove();
        return Fail(error, ZIPArchiveErrorTooLarge,
                    absl::StrCat("The archive at ", archive_path, " unpacks to more than ",
                                 kZIPArchiveMaxUncompressedBytes, " bytes."));
      }
      if (n < 0) {
        return Fail(error, ZIPArchiveErrorUnreadableArchive,
                    absl::StrCat("The entry \"", entry.name, "\" is damaged."));
      }
      if (!written) {
        return Fail(error, ZIPArchiveErrorWriteFailed,
                    absl::StrCat("Cannot write \"", entry.name, "\"."));
      }
      if (closed == UNZ_CRCERROR && !skipCRC32) {
        return Fail(error, ZIPArchiveErrorInvalidCRC32,
                    absl::StrCat("The entry \"", entry.name, "\" fails its checksum."));
      }
    }
    status = unzGoToNextFile(archive.file);
  }
  return true;
}
