// The dictionary blob's frame: its magics, the older generations refused by
// name, the header length and where the payload checksum starts. The
// inspector and the table of kinds read it without the rest of the format.
#pragma once

#include "blob_frame.hpp"

namespace quorvale::dict_index {

inline constexpr const char* MSG_BDX1 =
    "dict: blob written by quorvale 2.0 or 2.1, whose blocks interleaved an entry's header with its suffix; rebuild "
    "the index from its keys";
inline constexpr const char* MSG_BDX2 =
    "dict: blob written by quorvale 2.2 or 3.x, which spent a byte on every entry's header; rebuild the index from "
    "its keys";
inline constexpr blob::Retired RETIRED[] = {{"BDX1", MSG_BDX1}, {"BDX2", MSG_BDX2}};
// "BDX3", and "BDX4" with a character-code section: the fields of Header.
inline constexpr blob::Frame FRAME{
    .magic = "BDX3", .also = "BDX4", .retired = RETIRED, .header_len = 72, .payload_at = 36};

}  // namespace quorvale::dict_index
