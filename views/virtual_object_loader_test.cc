#include "views/virtual_object_loader.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/local_http_server.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/console.h"
#include "views/test_archive.h"

namespace {

namespace fs = std::filesystem;
using platform::foundation::ClosedPort;
using platform::foundation::LocalHttpServer;
using platform::foundation::ScopedTestFolder;
using platform::uikit::ConsoleCapture;
using views_testing::MakeZip;
using views_testing::Scene;

// What one `finished` call delivered.
struct Result {
  std::shared_ptr<VirtualObject> object;
  bool success = false;
};

// Starts a load; `on_caller` tells whether `finished` ran on the calling thread, before the
// call returned.
struct PendingLoad {
  std::shared_ptr<std::promise<Result>> promise = std::make_shared<std::promise<Result>>();
  std::future<Result> future = promise->get_future();
  bool on_caller = false;

  void Start(VirtualObjectLoader& loader, const std::string& url) {
    auto ran_here = std::make_shared<bool>(false);
    const std::thread::id caller = std::this_thread::get_id();
    loader.loadObjectFromURL(url, [promise = promise, ran_here, caller](
                                      std::shared_ptr<VirtualObject> object, bool success) {
      // Only the calling thread touches ran_here while Start runs.
      if (std::this_thread::get_id() == caller) *ran_here = true;
      promise->set_value({std::move(object), success});
    });
    on_caller = *ran_here;
  }
  bool Wait() { return future.wait_for(std::chrono::seconds(120)) == std::future_status::ready; }
};

// Lines equal, or start with, the expected texts; an expected text ending in "*" is a prefix.
void ExpectLines(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  ASSERT_EQ(lines.size(), expected.size()) << testing::PrintToString(lines);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!expected[i].empty() && expected[i].back() == '*') {
      EXPECT_EQ(lines[i].rfind(expected[i].substr(0, expected[i].size() - 1), 0), 0u)
          << lines[i];
    } else {
      EXPECT_EQ(lines[i], expected[i]);
    }
  }
}

class VirtualObjectLoaderTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    fs::create_directories(folder_.Path("bundle/art.scnassets"));
    std::ofstream(folder_.Path("bundle/art.scnassets/chair.scn")) << Scene("chair");
    std::ofstream(folder_.Path("bundle/art.scnassets/lamp.scn")) << Scene("lamp");
    platform::foundation::SetMainBundlePath(folder_.Path("bundle"));
  }
  void TearDown() override {
    platform::foundation::SetMainBundlePath("");
    platform::foundation::SetSandboxRoot("");
  }

  std::string Documents() const { return folder_.Path("sandbox/Documents"); }
  std::string Temp() const { return Documents() + "/VirtualObjects_temp"; }

  ScopedTestFolder folder_;
  std::shared_ptr<VirtualObjectLoader> loader_ = VirtualObjectLoader::init();
};

TEST_F(VirtualObjectLoaderTest, DownloadsUnpacksAndLoadsOrSaysWhyNot) {
  LocalHttpServer server({
      {"/a.zip", {200, "", MakeZip(folder_, {{"a.scn", Scene("top")}, {"b.txt", "x"}})}},
      {"/sub.zip", {200, "", MakeZip(folder_, {{"sub/a.scn", Scene("deep")}})}},
      {"/escape.zip",
       {200, "", MakeZip(folder_, {{"a.scn", Scene("top")}, {"../escaped.scn", Scene("bad")}})}},
  });
  const std::string refused = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a.zip";

  struct Case {
    std::string name;
    std::string url;
    bool called;  // whether `finished` runs at all
    bool success;
    int new_requests;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"top-level scene", server.URL("/a.zip"), true, true, 1,
       {"Successfully downloaded. Status code: 200"}},
      {"same address again", server.URL("/a.zip"), true, true, 0,
       {"we have same object loaded"}},
      {"error page", server.URL("/missing.zip"), true, false, 1,
       {"Successfully downloaded. Status code: 404", "Extraction of ZIP archive failed with error:*",
        "Failed to get 3d object from folder"}},
      {"scene in a sub-folder", server.URL("/sub.zip"), true, false, 1,
       {"Successfully downloaded. Status code: 200", "Failed to get 3d object from folder"}},
      {"entry leaving the folder", server.URL("/escape.zip"), true, false, 1,
       {"Successfully downloaded. Status code: 200", "Extraction of ZIP archive failed with error:*",
        "Failed to get 3d object from folder"}},
      {"refused connection", refused, true, false, 0,
       {"Error took place while downloading a file. Error description: *"}},
      {"not URL text", "not a url", false, false, 0, {}},
  };

  std::shared_ptr<VirtualObject> first;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int requests_before = server.RequestCount();
    ConsoleCapture console;
    PendingLoad load;
    load.Start(*loader_, c.url);
    if (!c.called) {
      // Nothing was started, so nothing can call back later.
      EXPECT_FALSE(load.on_caller);
      ExpectLines(console.lines(), {});
      continue;
    }
    ASSERT_TRUE(load.Wait());
    const Result result = load.future.get();
    EXPECT_EQ(result.success, c.success);
    EXPECT_EQ(result.object != nullptr, c.success);
    EXPECT_EQ(server.RequestCount() - requests_before, c.new_requests);
    EXPECT_EQ(load.on_caller, c.new_requests == 0 && c.success);
    ExpectLines(console.lines(), c.lines);
    if (c.success && first == nullptr) first = result.object;
    if (c.success) {
      EXPECT_EQ(result.object, first);  // the repeat gives the very same object
    }
  }

  // The object came from Documents/VirtualObjects_temp/NAME/a.scn, next to NAME.zip, loaded.
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->modelName(), "a");
  ASSERT_EQ(first->childNodes().size(), 1u);
  EXPECT_EQ(first->childNodes()[0]->name(), "top");
  const fs::path scene = first->referenceURL()->path();
  const std::string name = scene.parent_path().filename();
  EXPECT_EQ(scene.parent_path().parent_path(), fs::path(Temp()));
  EXPECT_TRUE(fs::exists(scene.parent_path() / (name + ".zip")));
  EXPECT_EQ(loader_->currentlyLoadedObjects(), std::vector<std::shared_ptr<VirtualObject>>{first});

  // The refused archive wrote nothing: no escaped file anywhere, no a.scn beside its copy.
  for (const auto& entry : fs::recursive_directory_iterator(folder_.path())) {
    EXPECT_NE(entry.path().filename(), "escaped.scn") << entry.path();
  }
  int scenes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(Temp())) {
    scenes += entry.path().extension() == ".scn";
  }
  EXPECT_EQ(scenes, 2);  // the first archive's a.scn and the sub-folder's sub/a.scn

  // Known addresses are answered from memory after the folder is gone.
  {
    ConsoleCapture console;
    loader_->deleteTempFolder();
    EXPECT_FALSE(fs::exists(Temp()));
    PendingLoad again;
    again.Start(*loader_, server.URL("/a.zip"));
    ASSERT_TRUE(again.on_caller);
    EXPECT_EQ(again.future.get().object, first);
    ExpectLines(console.lines(), {"temp folder is removed", "we have same object loaded"});
  }
}

// Three downloads at once; each completion asks for its own address again, which the loader
// must answer from memory without deadlocking (`finished` runs outside the loader's lock).
TEST_F(VirtualObjectLoaderTest, ConcurrentDownloadsEachRecordTheirObject) {
  std::map<std::string, LocalHttpServer::Reply> routes;
  for (int i = 0; i < 3; ++i) {
    const std::string id = std::to_string(i);
    routes["/m" + id + ".zip"] = {200, "", MakeZip(folder_, {{"m" + id + ".scn", Scene("n" + id)}})};
  }
  LocalHttpServer server(routes);
  ConsoleCapture console;

  struct Outcome {
    Result first;
    Result repeat;
    bool repeat_on_caller = false;
  };
  std::vector<Outcome> outcomes(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      const std::string url = server.URL("/m" + std::to_string(i) + ".zip");
      std::promise<void> done;
      loader_->loadObjectFromURL(url, [&, i, url](std::shared_ptr<VirtualObject> object, bool ok) {
        outcomes[i].first = {object, ok};
        bool answered = false;
        loader_->loadObjectFromURL(url, [&](std::shared_ptr<VirtualObject> again, bool ok2) {
          outcomes[i].repeat = {again, ok2};
          answered = true;
        });
        outcomes[i].repeat_on_caller = answered;
        done.set_value();
      });
      done.get_future().wait();
    });
  }
  for (auto& t : threads) t.join();

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(outcomes[i].first.success);
    ASSERT_NE(outcomes[i].first.object, nullptr);
    EXPECT_EQ(outcomes[i].first.object->modelName(), "m" + std::to_string(i));
    EXPECT_TRUE(outcomes[i].repeat_on_caller);
    EXPECT_EQ(outcomes[i].repeat.object, outcomes[i].first.object);
    EXPECT_EQ(server.RequestCount("/m" + std::to_string(i) + ".zip"), 1);
  }
  EXPECT_EQ(loader_->currentlyLoadedObjects().size(), 3u);
  // Three distinct download folders.
  int folders = 0;
  for (const auto& entry : fs::directory_iterator(Temp())) folders += entry.is_directory();
  EXPECT_EQ(folders, 3);
}

TEST_F(VirtualObjectLoaderTest, BundleLookupUnloadingAndTempFolderRemoval) {
  ConsoleCapture console;
  EXPECT_EQ(loader_->loadObject("sofa", "art.scnassets"), nullptr);
  std::vector<std::shared_ptr<VirtualObject>> chairs;
  for (int i = 0; i < 3; ++i) chairs.push_back(loader_->loadObject("chair", "art.scnassets"));
  auto lamp = loader_->loadObject("lamp", "art.scnassets");
  for (const auto& chair : chairs) {
    ASSERT_NE(chair, nullptr);
    EXPECT_EQ(chair->childNodes().size(), 1u);  // loaded at once
  }
  ASSERT_NE(lamp, nullptr);
  EXPECT_EQ(loader_->getObject(nullptr), nullptr);

  loader_->unloadObject("sofa");  // matches nothing
  EXPECT_EQ(loader_->currentlyLoadedObjects().size(), 4u);
  loader_->unloadObject("chair");  // all three, not only the first
  EXPECT_EQ(loader_->currentlyLoadedObjects(), std::vector<std::shared_ptr<VirtualObject>>{lamp});
  for (const auto& chair : chairs) EXPECT_TRUE(chair->childNodes().empty());
  EXPECT_EQ(lamp->childNodes().size(), 1u);

  loader_->deleteTempFolder();  // never made
  ExpectLines(console.lines(), {"file not found", "wasn't able to create object",
                                "Folder was not deleted: *"});
}

}  // namespace
