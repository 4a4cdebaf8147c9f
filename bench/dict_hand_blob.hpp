// A dictionary blob for the benchmarks, laid out by the tests' hand writer
// (until the dictionary build exists): the keys' front-coded suffixes coded
// with one symbol table trained on a sample of them, header codes fitted per
// run as a build fits them.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "../tests/cpp/dict_blob_writer.hpp"
#include "dict_index/dict_index.hpp"
#include "fsst.hpp"

namespace handblob {

// keys: distinct and ascending.
inline std::vector<unsigned char> write(const std::vector<std::string>& keys, unsigned block, unsigned micro) {
  using namespace quorvale;
  std::vector<std::string> suffixes;
  for (std::size_t i = 1; i < keys.size(); i += 7) {
    const std::size_t x = dict_index::common_prefix(
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(keys[i - 1].data()), keys[i - 1].size()),
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(keys[i].data()), keys[i].size()));
    suffixes.push_back(keys[i].substr(x));
  }
  std::vector<fsst::Bytes> samples;
  for (const auto& s : suffixes) samples.emplace_back(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  const fsst::Table table = fsst::Table::train_to(samples, 255);
  const fsst::Encoder encoder = table.encoder();
  dictfix::Symbols symbols;
  for (std::size_t i = 0; i < table.size(); ++i) {
    std::string sym(8, '\0');
    store_le64(reinterpret_cast<unsigned char*>(sym.data()), table.symbols[i]);
    symbols.symbols.push_back(sym.substr(0, table.lengths[i]));
  }
  dictfix::Spec spec;
  spec.keys = keys;
  spec.block = block;
  spec.micro = micro;
  spec.codecs = {symbols};
  dictfix::Fields fitted;
  fitted.spare_all_ones = true;
  spec.codes = {{fitted, fitted}};
  std::vector<unsigned char> coded;
  spec.symbols_coder = [&](const std::string& s) {
    coded.clear();
    encoder.encode(fsst::Bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size()), coded);
    return std::vector<unsigned>(coded.begin(), coded.end());
  };
  return dictfix::write(spec).blob;
}

}  // namespace handblob
