// Keys of graph services: objects that a graph holds for its calculators (the GPU
// resources, a detector cache, an asset registry), supplied before a run and fetched by
// calculators through their context. A calculator declares the services it uses in its
// contract; the node hands it the matching service packets when a run is prepared.

#ifndef QUILLMERE_GRAPH_GRAPH_SERVICE_H_
#define QUILLMERE_GRAPH_GRAPH_SERVICE_H_

#include <string>
#include <utility>

namespace kaldren {

// Identifies one service by its key string.
class GraphServiceBase {
 public:
  explicit GraphServiceBase(std::string key) : key(std::move(key)) {}

  std::string key;
};

// The typed key: the service packet of a GraphService<T> holds a std::shared_ptr<T>.
template <typename T>
class GraphService : public GraphServiceBase {
 public:
  using type = T;
  explicit GraphService(std::string key) : GraphServiceBase(std::move(key)) {}
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_GRAPH_SERVICE_H_
