#pragma once
// The embedded resources of type "SOURCEMBN": id 164 is root_uImage, id 165 is uboot.img.
#include <cstddef>
#include <span>

namespace res {

constexpr int kRootImageId = 164;
constexpr int kBootImageId = 165;

// The bytes of resource `id`; an empty span when there is no such resource.
std::span<const unsigned char> FindImage(int id);

}  // namespace res
