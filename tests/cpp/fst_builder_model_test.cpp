// The map builder against a plain model of it: the same suffix sharing
// (a table of 2^15 buckets, two most recently used nodes each, nodes of more
// than 64 transitions never shared) kept the simple way, each node looked up
// when it is frozen. The builder must write exactly the model's bytes over
// inputs that fill and churn the table, share suffixes heavily, carry wide
// nodes and values that are not ranks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fst/builder.hpp"
#include "fst/crc32c.hpp"
#include "fst/node.hpp"

namespace fst = quorvale::fst;
using Bytes = std::vector<unsigned char>;

namespace {

class ModelBuilder {
 public:
  ModelBuilder() : buckets_(kBuckets) {
    stack_.resize(1);
    put(3, 8);
    put(0, 8);
  }

  void insert(const std::string& key, std::uint64_t value) {
    std::size_t prefix = 0;
    while (prefix < key.size() && prefix < last_.size() && key[prefix] == last_[prefix]) ++prefix;
    freeze_below(prefix);
    for (std::size_t i = 0; i < prefix; ++i) {
      Open& u = stack_[i];
      const std::uint64_t common = std::min(u.last_output, value);
      const std::uint64_t add = u.last_output - common;
      u.last_output = common;
      value -= common;
      if (add != 0) {
        Open& next = stack_[i + 1];
        for (Trans& t : next.node.trans) t.output += add;
        if (next.node.final) next.node.final_output += add;
        if (next.has_last) next.last_output += add;
      }
    }
    stack_.resize(std::max(stack_.size(), key.size() + 1));
    if (key.size() == prefix) {
      stack_[prefix].node.final = true;
      stack_[prefix].node.final_output = value;
    } else {
      stack_[prefix].has_last = true;
      stack_[prefix].last_input = static_cast<unsigned char>(key[prefix]);
      stack_[prefix].last_output = value;
      for (std::size_t j = prefix + 1; j <= key.size(); ++j) {
        stack_[j] = Open{};
        stack_[j].has_last = j < key.size();
        if (stack_[j].has_last) stack_[j].last_input = static_cast<unsigned char>(key[j]);
      }
      stack_[key.size()].node.final = true;
    }
    depth_ = key.size() + 1;
    last_ = key;
    ++len_;
  }

  Bytes finish() {
    freeze_below(0);
    const Node& root = stack_[0].node;
    const std::uint64_t root_addr = root.final && root.trans.empty() && root.final_output == 0 ? 0 : write(root);
    put(len_, 8);
    put(root_addr, 8);
    put(fst::mask_crc(fst::crc32c(out_)), 4);
    return out_;
  }

 private:
  static constexpr std::size_t kBuckets = std::size_t{1} << 15;
  struct Trans {
    std::uint64_t output, target;
    unsigned char input;
    bool operator==(const Trans&) const = default;
  };
  struct Node {
    bool final = false;
    std::uint64_t final_output = 0;
    std::vector<Trans> trans;
    bool operator==(const Node&) const = default;
  };
  struct Open {
    Node node;
    bool has_last = false;
    unsigned char last_input = 0;
    std::uint64_t last_output = 0;
  };
  struct Entry {
    bool used = false;
    std::uint64_t hash = 0, addr = 0;
    Node node;
  };

  static std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
    h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 31);
  }

  void freeze_below(std::size_t depth) {
    for (std::size_t i = depth_; i-- > depth + 1;) {
      const std::uint64_t addr = compile(stack_[i].node);
      Open& parent = stack_[i - 1];
      parent.node.trans.push_back({parent.last_output, addr, parent.last_input});
      parent.has_last = false;
    }
    depth_ = depth + 1;
  }

  std::uint64_t compile(const Node& node) {
    if (node.final && node.trans.empty() && node.final_output == 0) return 0;
    if (node.trans.size() > 64) return write(node);
    std::uint64_t h = mix(node.final ? 1 : 0, node.final_output);
    for (const Trans& t : node.trans) h = mix(mix(h, t.input), mix(t.output, t.target));
    auto& bucket = buckets_[h & (kBuckets - 1)];
    for (int way = 0; way < 2; ++way) {
      if (bucket[way].used && bucket[way].hash == h && bucket[way].node == node) {
        const std::uint64_t addr = bucket[way].addr;
        if (way == 1) std::swap(bucket[0], bucket[1]);
        return addr;
      }
    }
    const std::uint64_t addr = write(node);
    std::swap(bucket[0], bucket[1]);
    bucket[0] = Entry{true, h, addr, node};
    return addr;
  }

  static unsigned width(std::uint64_t v) {
    unsigned w = 0;
    for (; v != 0; v >>= 8) ++w;
    return w;
  }
  void put(std::uint64_t v, unsigned width) {
    for (unsigned i = 0; i < width; ++i, v >>= 8) out_.push_back(static_cast<unsigned char>(v));
  }
  void byte(unsigned v) { out_.push_back(static_cast<unsigned char>(v)); }

  // The node forms of the byte format, written as the builder's docs say.
  std::uint64_t write(const Node& node) {
    const std::uint64_t start = out_.size();
    auto delta = [start](const Trans& t) { return t.target == 0 ? 0 : start - t.target; };
    const std::size_t n = node.trans.size();
    if (!node.final && n == 1) {
      const Trans& t = node.trans[0];
      const unsigned code = fst::input_code(t.input);
      if (t.output == 0 && t.target != 0 && t.target + 1 == start) {
        if (code == 0) byte(t.input);
        byte(0xC0 | code);
        return out_.size() - 1;
      }
      const unsigned tw = std::max(1u, width(delta(t))), ow = width(t.output);
      put(t.output, ow);
      put(delta(t), tw);
      byte(tw << 4 | ow);
      if (code == 0) byte(t.input);
      byte(0x80 | code);
      return out_.size() - 1;
    }
    std::uint64_t any_delta = 0, any_output = node.final ? node.final_output : 0;
    for (const Trans& t : node.trans) {
      any_delta |= delta(t);
      any_output |= t.output;
    }
    const unsigned tw = n == 0 ? 0 : std::max(1u, width(any_delta)), ow = width(any_output);
    if (node.final) put(node.final_output, ow);
    for (std::size_t i = n; i-- > 0;) put(node.trans[i].output, ow);
    for (std::size_t i = n; i-- > 0;) put(delta(node.trans[i]), tw);
    for (std::size_t i = n; i-- > 0;) byte(node.trans[i].input);
    if (n > 32) {
      std::array<unsigned char, 256> index;
      index.fill(255);
      for (std::size_t i = 0; i < n; ++i) index[node.trans[i].input] = static_cast<unsigned char>(i);
      out_.insert(out_.end(), index.begin(), index.end());
    }
    byte(tw << 4 | ow);
    if (n == 0 || n >= 64) byte(n == 256 ? 1 : static_cast<unsigned>(n));
    byte((node.final ? 0x40 : 0) | (n >= 1 && n <= 63 ? static_cast<unsigned>(n) : 0));
    return out_.size() - 1;
  }

  std::vector<Open> stack_;
  std::size_t depth_ = 1;
  std::string last_;
  std::uint64_t len_ = 0;
  Bytes out_;
  std::vector<std::array<Entry, 2>> buckets_;
};

using Items = std::vector<std::pair<std::string, std::uint64_t>>;

Bytes model(const Items& items) {
  ModelBuilder m;
  for (const auto& [k, v] : items) m.insert(k, v);
  return m.finish();
}

Bytes built(const Items& items) {
  fst::MemorySink sink;
  fst::MapBuilder b(sink);
  for (const auto& [k, v] : items) b.insert(k, v);
  b.finish();
  return sink.take();
}

Items ranked(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  Items items;
  for (std::size_t i = 0; i < keys.size(); ++i) items.emplace_back(std::move(keys[i]), i);
  return items;
}

std::string random_key(std::mt19937_64& rng, const std::string& alphabet, std::size_t lo, std::size_t hi) {
  std::string k(lo + rng() % (hi - lo + 1), ' ');
  for (char& c : k) c = alphabet[rng() % alphabet.size()];
  return k;
}

TEST(FstBuilderModel, SameBytesAsThePlainModel) {
  std::mt19937_64 rng(37);
  const std::string alnum = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string all_bytes;
  for (int b = 1; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  std::vector<std::pair<const char*, Items>> cases;

  cases.emplace_back("no keys", Items{});
  cases.emplace_back("the empty key alone", Items{{"", 0}});
  cases.emplace_back("the empty key and more", ranked({"", "a", "ab", "b"}));

  // Unique suffixes: far more nodes than the table holds, so its ways churn.
  std::vector<std::string> keys;
  for (int i = 0; i < 300000; ++i) keys.push_back(random_key(rng, alnum, 8, 40));
  cases.emplace_back("random keys", ranked(keys));

  // Heavy suffix sharing: most lookups find their node.
  keys.clear();
  for (int i = 0; i < 200000; ++i) keys.push_back(std::to_string(rng() % 100000000));
  cases.emplace_back("decimal ids", ranked(keys));

  keys.clear();
  const char* hosts[] = {"https://a.example.com/", "https://blog.example.io/posts/", "http://x.org/"};
  const char* words[] = {"alpha", "beta", "gamma", "delta", "eps", "zeta"};
  for (int i = 0; i < 200000; ++i)
    keys.push_back(std::string(hosts[rng() % 3]) + words[rng() % 6] + "/" + words[rng() % 6] + "-" +
                   std::to_string(rng() % 1000000) + (rng() % 2 ? "?ref=home" : ""));
  cases.emplace_back("urls", ranked(keys));

  // Wide nodes: 3 to 255 transitions, some past the table's 64 and the
  // transition index's 32, under suffixes that repeat.
  keys.clear();
  for (int i = 0; i < 100000; ++i) {
    std::string k = random_key(rng, all_bytes, 1, 3);
    k += all_bytes.substr(rng() % 255, 1 + rng() % 3);
    keys.push_back(k);
  }
  for (int b = 0; b < 256; ++b) keys.push_back(std::string("w") + static_cast<char>(b) + "z");
  cases.emplace_back("wide nodes", ranked(keys));

  // Values that are not ranks: outputs pushed down and final outputs on
  // inner nodes, and equal values that make equal subtrees.
  Items valued = ranked(keys);
  for (auto& [k, v] : valued) v = rng() % 4 == 0 ? 7 : rng() % 1000;
  cases.emplace_back("arbitrary values", valued);
  keys.clear();
  for (int i = 0; i < 100000; ++i) keys.push_back(random_key(rng, "ab", 1, 20));
  Items dense = ranked(keys);
  for (auto& [k, v] : dense) v = k.size() % 3;
  cases.emplace_back("few values over two letters", dense);

  for (const auto& [name, items] : cases) {
    const Bytes got = built(items), want = model(items);
    const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    EXPECT_TRUE(got == want) << name << ": " << got.size() << " bytes against " << want.size()
                             << ", first difference at byte " << (diff.first - got.begin());
  }
}

}  // namespace
