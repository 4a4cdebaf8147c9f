// A dictionary's blob to and from files and byte copies.
#include "dict_index/dict_index.hpp"

namespace quorvale {

void DictIndex::save(const std::string& path) const { blob::save_blob(path, *this); }

DictIndex DictIndex::from_bytes(std::span<const unsigned char> blob) {
  return from_shared(blob::SharedBytes::from_owned(blob), true);
}

DictIndex DictIndex::load(const std::string& path) { return from_shared(blob::SharedBytes::read_file(path), true); }

DictIndex DictIndex::load_mmap(const std::string& path) { return from_shared(blob::SharedBytes::map_file(path), false); }

DictIndex DictIndex::load_mmap_verified(const std::string& path) {
  return from_shared(blob::SharedBytes::map_file(path), true);
}

}  // namespace quorvale
