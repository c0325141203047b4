#include "face_ml/embedded_files.h"

#include "base/logging.h"

namespace research {
namespace sorvanti {
namespace api {
namespace {

constexpr std::string_view kEmbeddedPrefix = "embedded:";

}  // namespace

EmbeddedFiles::TocInserter::TocInserter(const FileToc* toc, const std::string& rule) {
  std::map<std::string, File>& map = GetMap();
  for (const FileToc* entry = toc; entry->name != nullptr; ++entry) {
    auto [it, inserted] = map.try_emplace(entry->name, File{entry->data, entry->size, rule});
    if (!inserted) {
      LOG(FATAL) << "Trying to insert duplicate value for " << entry->name
                 << " original rule is " << it->second.rule << " new rule is " << rule;
    }
  }
}

std::map<std::string, EmbeddedFiles::File>& EmbeddedFiles::GetMap() {
  static auto* map = new std::map<std::string, File>();
  return *map;
}

bool EmbeddedFiles::IsEmbeddedPath(std::string_view path) {
  return path.substr(0, kEmbeddedPrefix.size()) == kEmbeddedPrefix;
}

absl::optional<std::string_view> EmbeddedFiles::Get(std::string_view path) {
  if (!IsEmbeddedPath(path)) return absl::nullopt;
  const std::map<std::string, File>& map = GetMap();
  auto it = map.find(std::string(path.substr(kEmbeddedPrefix.size())));
  if (it == map.end()) return absl::nullopt;
  return std::string_view(it->second.data, it->second.size);
}

std::string_view EmbeddedFiles::GetOrDie(std::string_view path) {
  absl::optional<std::string_view> result = Get(path);
  CHECK(result) << "File with path " << path
                << " not found in embedded map. Forgot to link embedded data library?";
  return *result;
}

}  // namespace api
}  // namespace sorvanti
}  // namespace research
