#include "platform/scenekit/scn_scene.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "absl/strings/ascii.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "base/logging.h"

namespace platform::scenekit {
namespace {

constexpr size_t kMaxSceneFileBytes = 1 << 20;
// Node trees are walked recursively (bounds, searches, destruction): keep them shallow.
constexpr int kMaxDepth = 64;

absl::Status LineError(int line, absl::string_view what) {
  return absl::InvalidArgumentError(absl::StrCat("scene file line ", line, ": ", what));
}

}  // namespace

util::StatusOr<std::vector<std::shared_ptr<SCNNode>>> ParseScene(const std::string& text) {
  std::vector<std::string> lines = absl::StrSplit(text, '\n');
  if (lines.empty() || absl::StripAsciiWhitespace(lines[0]) != "quillmere-scene 1") {
    return LineError(1, "expected \"quillmere-scene 1\"");
  }
  std::vector<std::shared_ptr<SCNNode>> roots;
  std::map<std::string, std::shared_ptr<SCNNode>> by_name;
  std::map<std::string, int> depth_of;
  for (size_t i = 1; i < lines.size(); ++i) {
    const int line = static_cast<int>(i + 1);
    std::vector<absl::string_view> words =
        absl::StrSplit(lines[i], absl::ByAnyChar(" \t\r"), absl::SkipEmpty());
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] != "node" || words.size() < 2) return LineError(line, "expected \"node <name>\"");
    const std::string name(words[1]);
    if (by_name.count(name) > 0) return LineError(line, absl::StrCat("duplicate node ", name));
    auto node = SCNNode::node();
    node->setName(name);
    std::shared_ptr<SCNNode> parent;
    int depth = 1;
    bool has_shape = false;
    size_t w = 2;
    // Reads `n` finite numbers after the keyword at words[w].
    auto numbers = [&](size_t n, float* out) -> absl::Status {
      if (w + n >= words.size()) {
        return LineError(line, absl::StrCat(words[w], " needs ", n, " numbers"));
      }
      for (size_t k = 0; k < n; ++k) {
        if (!absl::SimpleAtof(words[w + 1 + k], &out[k]) || !std::isfinite(out[k])) {
          return LineError(line, absl::StrCat("bad number \"", words[w + 1 + k], "\""));
        }
      }
      w += n + 1;
      return absl::OkStatus();
    };
    while (w < words.size()) {
      const absl::string_view key = words[w];
      float v[3];
      absl::Status status;
      if (key == "parent") {
        if (w + 1 >= words.size()) return LineError(line, "parent needs a name");
        auto it = by_name.find(std::string(words[w + 1]));
        if (it == by_name.end()) {
          return LineError(line, absl::StrCat("unknown parent ", words[w + 1]));
        }
        parent = it->second;
        depth = depth_of[it->first] + 1;
        if (depth > kMaxDepth) return LineError(line, "nodes nested too deeply");
        w += 2;
      } else if (key == "hidden") {
        node->setHidden(true);
        ++w;
      } else if (key == "position" || key == "euler" || key == "scale") {
        if (!(status = numbers(3, v)).ok()) return status;
        const simd_float3 vec = {v[0], v[1], v[2]};
        if (key == "position") node->setSimdPosition(vec);
        if (key == "euler") node->setSimdEulerAngles(vec);
        if (key == "scale") node->setSimdScale(vec);
      } else if (key == "box" || key == "plane" || key == "sphere") {
        if (has_shape) return LineError(line, "more than one shape");
        has_shape = true;
        const size_t n = key == "box" ? 3 : key == "plane" ? 2 : 1;
        if (!(status = numbers(n, v)).ok()) return status;
        for (size_t k = 0; k < n; ++k) {
          if (v[k] < 0) return LineError(line, "negative size");
        }
        node->setGeometry(key == "box"     ? SCNBox(v[0], v[1], v[2])
                          : key == "plane" ? SCNPlane(v[0], v[1])
                                           : SCNSphere(v[0]));
      } else {
        return LineError(line, absl::StrCat("unknown word \"", key, "\""));
      }
    }
    by_name[name] = node;
    depth_of[name] = depth;
    if (parent != nullptr) {
      parent->addChildNode(node);
    } else {
      roots.push_back(node);
    }
  }
  return roots;
}

util::StatusOr<std::vector<std::shared_ptr<SCNNode>>> ReadSceneFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return absl::NotFoundError(absl::StrCat("cannot open scene file ", path));
  std::string text;
  char buffer[4096];
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxSceneFileBytes) {
      return absl::InvalidArgumentError(absl::StrCat("scene file too large: ", path));
    }
  }
  return ParseScene(text);
}

}  // namespace platform::scenekit

std::shared_ptr<SCNScene> SCNScene::scene() { return std::make_shared<SCNScene>(); }

std::shared_ptr<SCNScene> SCNScene::sceneWithURL(const std::shared_ptr<NSURL>& url,
                                                 std::shared_ptr<NSError>* error) {
  auto nodes = url == nullptr ? util::StatusOr<std::vector<std::shared_ptr<SCNNode>>>(
                                    absl::InvalidArgumentError("no URL"))
                              : platform::scenekit::ReadSceneFile(url->path());
  if (!nodes.ok()) {
    if (error != nullptr) {
      *error = NSError::errorWithDomain(
          "NSCocoaErrorDomain", 260,
          {{"NSLocalizedDescription", std::string(nodes.status().message())}});
    }
    return nullptr;
  }
  auto s = scene();
  for (const auto& n : *nodes) s->rootNode()->addChildNode(n);
  return s;
}

std::shared_ptr<SCNReferenceNode> SCNReferenceNode::initWithURL(std::shared_ptr<NSURL> url) {
  if (url == nullptr) return nullptr;
  return std::make_shared<SCNReferenceNode>(std::move(url));
}

void SCNReferenceNode::load() {
  std::lock_guard<std::mutex> lock(load_mutex_);
  if (loaded_) return;
  auto nodes = platform::scenekit::ReadSceneFile(url_->path());
  if (!nodes.ok()) {
    LOG(ERROR) << "SCNReferenceNode: cannot load " << url_->path() << ": " << nodes.status();
    return;
  }
  loaded_nodes_ = *std::move(nodes);
  for (const auto& n : loaded_nodes_) addChildNode(n);
  loaded_ = true;
}

void SCNReferenceNode::unload() {
  std::lock_guard<std::mutex> lock(load_mutex_);
  for (const auto& n : loaded_nodes_) n->removeFromParentNode();
  loaded_nodes_.clear();
  loaded_ = false;
}

void SCNReferenceNode::DidClone(SCNNode& copy) const {
  auto* ref = dynamic_cast<SCNReferenceNode*>(&copy);
  if (ref == nullptr) return;
  const auto originals = childNodes();
  const auto copies = copy.childNodes();
  std::scoped_lock lock(load_mutex_, ref->load_mutex_);
  ref->loaded_ = loaded_;
  ref->loaded_nodes_.clear();
  for (size_t i = 0; i < originals.size() && i < copies.size(); ++i) {
    if (std::find(loaded_nodes_.begin(), loaded_nodes_.end(), originals[i]) !=
        loaded_nodes_.end()) {
      ref->loaded_nodes_.push_back(copies[i]);
    }
  }
}

bool SCNReferenceNode::isLoaded() const {
  std::lock_guard<std::mutex> lock(load_mutex_);
  return loaded_;
}
