#ifndef PLATFORM_SCENEKIT_SCN_SCENE_H_
#define PLATFORM_SCENEKIT_SCN_SCENE_H_

// Scenes, scene files and reference nodes.
//
//   auto scene = SCNScene::sceneWithURL(NSURL::fileURLWithPath("chair.scn"), &error);
//   auto ref = SCNReferenceNode::initWithURL(url);
//   ref->load();                        // the file's top-level nodes become its children
//
// Scene files are text in a format of our own, one node a line:
//
//   quillmere-scene 1
//   # comment
//   node chair position 0 0 0 euler 0 1.57 0 scale 1 1 1 box 0.5 1 0.5
//   node seat parent chair position 0 0.5 0 plane 0.4 0.4 hidden
//
// The first line names the format and version. Each node line starts with "node" and a unique
// name, then any of: "parent <name>" (a node defined above; without it the node is top-level),
// "position x y z", "euler x y z", "scale x y z", one shape ("box w h l", "plane w h",
// "sphere r") and "hidden". Numbers must be finite and sizes not negative; nodes nest at most
// 64 deep. Anything else is an error that names the line, and nothing of the file is used.
// Files over 1 MiB are refused.

#include <memory>
#include <string>
#include <vector>

#include "base/statusor.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/ns_url.h"
#include "platform/scenekit/scn_node.h"

class SCNScene {
 public:
  static std::shared_ptr<SCNScene> scene();
  // Null, with an error, when the file cannot be read or parsed.
  static std::shared_ptr<SCNScene> sceneWithURL(const std::shared_ptr<NSURL>& url,
                                                std::shared_ptr<NSError>* error);
  const std::shared_ptr<SCNNode>& rootNode() const { return root_; }

 private:
  std::shared_ptr<SCNNode> root_ = SCNNode::node();
};

class SCNReferenceNode : public SCNNode {
 public:
  // Null for a null URL, as the platform's initialiser fails without one.
  static std::shared_ptr<SCNReferenceNode> initWithURL(std::shared_ptr<NSURL> url);
  explicit SCNReferenceNode(std::shared_ptr<NSURL> url) : url_(std::move(url)) {}

  const std::shared_ptr<NSURL>& referenceURL() const { return url_; }
  // Reads the file and adds its top-level nodes as children; a file that cannot be read or
  // parsed leaves the node unloaded and logs why. Loading a loaded node does nothing.
  void load();
  // Removes the loaded children.
  void unload();
  bool isLoaded() const;

 protected:
  std::shared_ptr<SCNNode> MakeEmptyCopy() const override {
    return std::make_shared<SCNReferenceNode>(url_);
  }
  // The copy is loaded when this node is, its copies of the loaded nodes being its own.
  void DidClone(SCNNode& copy) const override;

 private:
  const std::shared_ptr<NSURL> url_;
  mutable std::mutex load_mutex_;
  bool loaded_ = false;
  std::vector<std::shared_ptr<SCNNode>> loaded_nodes_;
};

namespace platform::scenekit {

// The top-level nodes of a scene file's text.
util::StatusOr<std::vector<std::shared_ptr<SCNNode>>> ParseScene(const std::string& text);
util::StatusOr<std::vector<std::shared_ptr<SCNNode>>> ReadSceneFile(const std::string& path);

}  // namespace platform::scenekit

#endif  // PLATFORM_SCENEKIT_SCN_SCENE_H_
