#include "fst_bounds.hpp"

namespace quorvale::fst_bounds {

bool deltas_fit(std::span<const unsigned char> bytes, std::uint64_t position, std::uint64_t count, unsigned width,
                std::uint64_t max) noexcept {
  if (width == 0) return position < bytes.size();
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t back = i * width;
    if (back > position) return false;
    const std::uint64_t at = position - back;
    if (at >= bytes.size() || bytes.size() - at < width) return false;
    if (fst::read_le(bytes.data() + at, width) > max) return false;
  }
  return true;
}

bool node_fits(std::span<const unsigned char> fst, const fst::NodeReader& reader, std::uint64_t addr,
               fst::Node& node) noexcept {
  // The decoder checks the bounds and widths, and a one-transition target.
  if (!reader.read(addr, node)) return false;
  if (node.form() != fst::NodeForm::Multi || node.len() == 0) return true;
  // The deltas lie above the outputs and the final output; transition 0's
  // is the highest.
  const std::uint64_t n = node.len(), t = node.delta_width(), o = node.output_width();
  const std::uint64_t first = node.start() + (node.is_final() ? o : 0) + n * o + (n - 1) * t;
  return deltas_fit(fst, first, n, static_cast<unsigned>(t), node.start());
}

}  // namespace quorvale::fst_bounds
