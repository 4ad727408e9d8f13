// A graph run as one self-contained HTML page (pictures inline, no server needed): the graph drawn
// as boxes and arrows, then a card per node with its output pictures, warnings or error and time.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Graph.h"

namespace kxrun {

class RunPage {
public:
  explicit RunPage(const Graph& graph) : graph_(&graph), cards_(graph.nodes().size()) {}

  // Records a node as the run reaches it; its pictures are taken now, while its outputs exist.
  void observe(const NodeRun& run);
  // "N of M processor nodes ran ...", naming the failed node and what it kept from running.
  std::string summary() const;
  // The page; `lead` is a line of plain text under the title.
  std::string html(const std::string& title, const std::string& lead) const;

private:
  struct Card {
    std::string status;  // ran, failed, skipped, not-run, downstream (of a failed node)
    std::string processor, note, body, time;
    std::string cause;  // downstream: the failed node
    std::vector<std::string> params, given, warnings, files;
  };
  Card cardOf(std::size_t node) const;
  std::string drawing() const;

  const Graph* graph_;
  std::vector<std::optional<Card>> cards_;  // by node, once run
  std::vector<std::size_t> runOrder_;
};

}  // namespace kxrun
