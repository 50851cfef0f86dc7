#pragma once
// Built-in data of the program, addressed by resource type and number.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace drover::res {

struct ResourceEntry {
  std::string_view type;  // "ICINI" (INI texts), "BINARY" (firmware images)
  int id = 0;
  std::string_view name;  // file stem the resource was built from
  std::span<const std::uint8_t> data;
};

// The bytes of resource (type, id); empty when the program carries no such resource.
std::span<const std::uint8_t> FindResource(std::string_view type, int id);
// Every built-in resource, in the order they were added to the build.
std::size_t ResourceCount();
ResourceEntry ResourceAt(std::size_t index);

// Generated table behind the lookups.
std::size_t RawResourceCount();
ResourceEntry RawResourceAt(std::size_t index);

}  // namespace drover::res
