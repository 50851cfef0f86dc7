#include "resources/resource.h"

namespace drover::res {

std::span<const std::uint8_t> FindResource(std::string_view type, int id) {
  for (std::size_t i = 0; i < RawResourceCount(); ++i) {
    ResourceEntry e = RawResourceAt(i);
    if (e.id == id && e.type == type) return e.data;
  }
  return {};
}

std::size_t ResourceCount() { return RawResourceCount(); }
ResourceEntry ResourceAt(std::size_t index) { return RawResourceAt(index); }

}  // namespace drover::res
