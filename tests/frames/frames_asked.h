// A pane decoder that records which frames a pane asks for and decodes
// none of them, for counting a pane's decodes without their cost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "preview/pane_render.h"

namespace tamsorel::test {

class FramesAsked final : public PaneDecoder {
 public:
  std::string Decode(Sprite&, uint32_t index, StoredFrame*) override {
    indices.push_back(index);
    return "not decoded";
  }
  std::vector<uint32_t> indices;
};

}  // namespace tamsorel::test
