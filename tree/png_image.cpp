#include "png_image.h"

#include <limits>

// stb_image_write (Debian's libstb-dev) does the encoding: its own deflate,
// integer arithmetic only, the same bytes on every platform.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#endif
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

void Append(void *context, void *data, int size) {
    static_cast<std::string *>(context)->append(static_cast<const char *>(data), static_cast<std::size_t>(size));
}

}  // namespace

std::string EncodePng(const std::vector<std::uint8_t> &rgb, std::size_t width, std::size_t height) {
    constexpr std::size_t limit = std::numeric_limits<int>::max() / 4;
    if (width == 0 || height == 0 || width > limit / 3 || height > limit / (width * 3) || rgb.size() != width * height * 3)
        return {};
    std::string png;
    const int stride = static_cast<int>(width * 3);
    if (!stbi_write_png_to_func(Append, &png, static_cast<int>(width), static_cast<int>(height), 3, rgb.data(), stride))
        return {};
    return png;
}

std::string Base64(const std::string &bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const auto byte = [&](std::size_t k) { return k < bytes.size() ? static_cast<std::uint8_t>(bytes[k]) : 0u; };
        const std::uint32_t group = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += digits[(group >> 18) & 63];
        out += digits[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    return out;
}
