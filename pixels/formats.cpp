// The formats converted, by code. Names as cameras' descriptions spell them;
// the older GigE Vision "Packed" ones and the newer "p" ones pack 10 and 12
// bits differently and must never share a row's layout.
#include <algorithm>
#include <array>

#include "pixels/pixels.h"

namespace pixels {

namespace {

using enum layout;
using enum mosaic;

constexpr std::array formats = std::to_array<format>({
    {0x01080001, "Mono8", mono, 8, 8, none, {}},
    {0x01100003, "Mono10", mono, 10, 16, none, {}},
    {0x01100005, "Mono12", mono, 12, 16, none, {}},
    {0x01100025, "Mono14", mono, 14, 16, none, {}},
    {0x01100007, "Mono16", mono, 16, 16, none, {}},
    {0x010A0046, "Mono10p", packed_lsb, 10, 10, none, {}},
    {0x010C0047, "Mono12p", packed_lsb, 12, 12, none, {}},
    {0x010C0004, "Mono10Packed", packed_pair, 10, 12, none, {}},
    {0x010C0006, "Mono12Packed", packed_pair, 12, 12, none, {}},

    {0x01080009, "BayerRG8", mono, 8, 8, rg, {}},
    {0x01080008, "BayerGR8", mono, 8, 8, gr, {}},
    {0x0108000A, "BayerGB8", mono, 8, 8, gb, {}},
    {0x0108000B, "BayerBG8", mono, 8, 8, bg, {}},
    {0x0110000D, "BayerRG10", mono, 10, 16, rg, {}},
    {0x0110000C, "BayerGR10", mono, 10, 16, gr, {}},
    {0x0110000E, "BayerGB10", mono, 10, 16, gb, {}},
    {0x0110000F, "BayerBG10", mono, 10, 16, bg, {}},
    {0x01100011, "BayerRG12", mono, 12, 16, rg, {}},
    {0x01100010, "BayerGR12", mono, 12, 16, gr, {}},
    {0x01100012, "BayerGB12", mono, 12, 16, gb, {}},
    {0x01100013, "BayerBG12", mono, 12, 16, bg, {}},
    {0x0110002F, "BayerRG16", mono, 16, 16, rg, {}},
    {0x0110002E, "BayerGR16", mono, 16, 16, gr, {}},
    {0x01100030, "BayerGB16", mono, 16, 16, gb, {}},
    {0x01100031, "BayerBG16", mono, 16, 16, bg, {}},
    {0x010A0058, "BayerRG10p", packed_lsb, 10, 10, rg, {}},
    {0x010A0056, "BayerGR10p", packed_lsb, 10, 10, gr, {}},
    {0x010A0054, "BayerGB10p", packed_lsb, 10, 10, gb, {}},
    {0x010A0052, "BayerBG10p", packed_lsb, 10, 10, bg, {}},
    {0x010C0059, "BayerRG12p", packed_lsb, 12, 12, rg, {}},
    {0x010C0057, "BayerGR12p", packed_lsb, 12, 12, gr, {}},
    {0x010C0055, "BayerGB12p", packed_lsb, 12, 12, gb, {}},
    {0x010C0053, "BayerBG12p", packed_lsb, 12, 12, bg, {}},
    {0x010C0027, "BayerRG10Packed", packed_pair, 10, 12, rg, {}},
    {0x010C0026, "BayerGR10Packed", packed_pair, 10, 12, gr, {}},
    {0x010C0028, "BayerGB10Packed", packed_pair, 10, 12, gb, {}},
    {0x010C0029, "BayerBG10Packed", packed_pair, 10, 12, bg, {}},
    {0x010C002B, "BayerRG12Packed", packed_pair, 12, 12, rg, {}},
    {0x010C002A, "BayerGR12Packed", packed_pair, 12, 12, gr, {}},
    {0x010C002C, "BayerGB12Packed", packed_pair, 12, 12, gb, {}},
    {0x010C002D, "BayerBG12Packed", packed_pair, 12, 12, bg, {}},

    {0x02180014, "RGB8", rgb, 8, 24, none, {0, 1, 2}},
    {0x02180015, "BGR8", rgb, 8, 24, none, {2, 1, 0}},
    {0x02200016, "RGBa8", rgb, 8, 32, none, {0, 1, 2}},
    {0x02200017, "BGRa8", rgb, 8, 32, none, {2, 1, 0}},
    {0x02100032, "YUV422_8", yuv422, 8, 16, none, {0, 1, 2, 3}},
    {0x0210001F, "YUV422_8_UYVY", yuv422, 8, 16, none, {1, 0, 3, 2}},
    {0x0218005B, "YCbCr8", yuv444, 8, 24, none, {0, 1, 2}},
    {0x0218003A, "YCbCr8_CbYCr", yuv444, 8, 24, none, {1, 0, 2}},
    {0x02180020, "YUV8_UYV", yuv444, 8, 24, none, {1, 0, 2}},
});

}  // namespace

const format *find_format(std::uint32_t code) {
  const auto *f = std::find_if(formats.begin(), formats.end(),
                               [code](const format &x) { return x.code == code; });
  return f == formats.end() ? nullptr : f;
}

}  // namespace pixels
