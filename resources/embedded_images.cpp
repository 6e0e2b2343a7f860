#include "resources/embedded_images.h"

extern "C" {
extern const unsigned char rk_image_root_begin[];
extern const unsigned char rk_image_root_end[];
extern const unsigned char rk_image_boot_begin[];
extern const unsigned char rk_image_boot_end[];
}

namespace res {

std::span<const unsigned char> FindImage(int id) {
    if (id == kRootImageId)
        return {rk_image_root_begin, static_cast<size_t>(rk_image_root_end - rk_image_root_begin)};
    if (id == kBootImageId)
        return {rk_image_boot_begin, static_cast<size_t>(rk_image_boot_end - rk_image_boot_begin)};
    return {};
}

}  // namespace res
