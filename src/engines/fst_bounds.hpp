// The untrusted validator's bounds test of FST nodes: a node must lie inside
// the bytes, with widths in range and every target at or above address 0,
// before anything is read through it. Nodes are decoded by the FST engine's
// one decoder (fst/node.hpp); this adds what a walk checks only when it
// follows a transition, for every transition at once.
#pragma once

#include <cstdint>
#include <span>

#include "fst/node.hpp"

namespace quorvale::fst_bounds {

// `count` little-endian integers of `width` bytes, the i-th (from 0) starting
// at `position` - i * width: whether each lies wholly inside `bytes` and is at
// most `max`. With width 0 it only tests that the position is inside.
bool deltas_fit(std::span<const unsigned char> bytes, std::uint64_t position, std::uint64_t count, unsigned width,
                std::uint64_t max) noexcept;

// Decodes the node at `addr` (0 < addr < the FST length) of the FST bytes
// `reader` reads into `node`, and tests it from its own bytes: every field
// lies at or above offset 0, widths are in range (a delta width of 1..8
// wherever there are transitions, an output width of 0..8), and every target
// delta is at most the node's start.
bool node_fits(std::span<const unsigned char> fst, const fst::NodeReader& reader, std::uint64_t addr,
               fst::Node& node) noexcept;

}  // namespace quorvale::fst_bounds
