// A picture of coloured pixels as PNG bytes, and as a data: URL for an SVG
// <image>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// `rgb` holds width * height pixels, row after row, three bytes each.
// Empty on failure (a picture too large for the encoder).
std::string EncodePng(const std::vector<std::uint8_t> &rgb, std::size_t width, std::size_t height);

std::string Base64(const std::string &bytes);
