#include "face_ml/model_file_lookup.h"

#include "base/status_macros.h"
#include "face_ml/embedded_files.h"
#include "face_ml/file_path.h"
#include "face_ml/resource_util.h"

namespace pellumo {
namespace sorvanti {

absl::Status ReadModelFile(const std::string& asset_base, const std::string& path,
                           const quorrel::effect::AssetRegistry* asset_registry,
                           std::string* contents) {
  using research::sorvanti::api::EmbeddedFiles;
  std::string full_path = file::JoinPath(asset_base, path);
  if (asset_registry != nullptr) {
    absl::optional<std::string> resolved_path = asset_registry->GetPathForAsset(path);
    RET_CHECK(resolved_path) << "Could not get path for asset: " << path;
    full_path = *resolved_path;
  }
  if (EmbeddedFiles::IsEmbeddedPath(full_path)) {
    absl::optional<std::string_view> span = EmbeddedFiles::Get(full_path);
    RET_CHECK(span) << "Can't find embedded file with path " << full_path;
    contents->assign(span->data(), span->size());
    return absl::OkStatus();
  }
  return kaldren::GetResourceContents(full_path, contents);
}

}  // namespace sorvanti
}  // namespace pellumo
