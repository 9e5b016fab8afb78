// AMR previews: the first volume of a result as 256 x 256 8-bit BMP slices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/datahandler.h"

namespace warpmender {

struct amrslice {
    std::vector<uint8_t> header;   // the 54 bitmap header bytes
    std::vector<uint8_t> palette;  // 1024 bytes: i, i, i, 0
    std::vector<uint8_t> pixels;   // 65536 bytes, row 0 first, x fastest
};

struct amrStruct {
    uint16_t nrofslices = 0;
    std::vector<amrslice> slices;
    std::string name;
    bool firstvolasanat = false;
};

// Volume 0 of dh rescaled to 0..255. 256 x 256 slices are taken as they are,
// smaller square ones whose width divides 256 are enlarged, all others are
// centred in the frame. Null (and logged) when a slice is larger than 256 or
// the volume cannot be converted; owned by the caller.
amrStruct* datahandler2amr(datahandler<double>* dh, bool firstvolasanat, bool usesuffix, const char* suffix);
// Writes exchangeExtension(name, ".amr") (or its "_firstvol_as_anat" form)
// completely or not at all.
bool writeamr(amrStruct* amr);
// "dir/a.fmr" + "_unwrapped" -> dir/a_unwrapped.amr
bool save2amr(datahandler<double>* dh, const char* suffix);
// "dir/a.fmr" -> dir/a.amr
bool save2amr(datahandler<double>* dh);
bool save2amr(datahandler<float>* dh, bool usesuffix, const char* suffix);

}  // namespace warpmender
