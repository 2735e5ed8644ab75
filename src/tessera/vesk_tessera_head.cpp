#include "tessera/vesk_tessera_head.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace vesk::tessera {

namespace {

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// ---- The stored ZIP ------------------------------------------------------------------------------

struct ZipEntry {
  std::string name;
  size_t offset = 0;
  size_t size = 0;
};

bool endsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::vector<ZipEntry> zipEntries(const std::vector<uint8_t>& z) {
  const size_t n = z.size();
  if (n <= 21) throw std::runtime_error("teeth: head .pt is not a zip");
  size_t eocd = n - 22;
  for (;;) {
    if (u32(&z[eocd]) == 0x06054b50u) break;
    if (eocd == 0) throw std::runtime_error("teeth: head .pt has no zip EOCD");
    --eocd;
  }
  const uint16_t count = u16(&z[eocd + 10]);
  size_t off = u32(&z[eocd + 16]);
  std::vector<ZipEntry> entries;
  for (uint16_t i = 0; i < count; ++i) {
    if (off > n || n - off < 46 || u32(&z[off]) != 0x02014b50u) {
      throw std::runtime_error("teeth: head .pt central directory is malformed");
    }
    const uint8_t* r = &z[off];
    if (u16(r + 10) != 0) {
      throw std::runtime_error(
          "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    }
    const size_t csize = u32(r + 20), usize = u32(r + 24);
    const size_t nameLen = u16(r + 28), extraLen = u16(r + 30), commentLen = u16(r + 32);
    const size_t local = u32(r + 42);
    // The name must lie inside the file as well; the record's fixed part alone does not say so.
    if (n - off - 46 < nameLen) throw std::runtime_error("teeth: head .pt central directory is malformed");
    ZipEntry e;
    e.name.assign(reinterpret_cast<const char*>(r + 46), nameLen);
    if (local > n || n - local < 30) throw std::runtime_error("teeth: head .pt local header out of range");
    const size_t start = local + 30 + u16(&z[local + 26]) + u16(&z[local + 28]);
    const size_t size = usize != 0 ? usize : csize;
    if (start > n || n - start < size) throw std::runtime_error("teeth: head .pt entry out of range");
    e.offset = start;
    e.size = size;
    entries.push_back(std::move(e));
    off += 46 + nameLen + extraLen + commentLen;
  }
  return entries;
}

// ---- The pickle program --------------------------------------------------------------------------

struct PVal;
using PTuple = std::shared_ptr<const std::vector<PVal>>;  // shared, so memo copies of nested tuples stay cheap

struct PVal {
  enum class Kind { None, Int, Bool, Str, Tuple, Global, Storage, Tensor, Dict };
  Kind kind = Kind::None;
  int64_t i = 0;
  std::string s;               // string text, global "module name", storage key, tensor storage key
  PTuple tuple;                // tuple entries
  std::vector<int64_t> sizes;  // tensor sizes; i holds the element offset
};

struct NamedTensor {
  std::string name;
  std::string key;
  int64_t offset = 0;
  std::vector<int64_t> sizes;
};

std::string textOf(const PVal& v) {
  switch (v.kind) {
    case PVal::Kind::Str:
    case PVal::Kind::Global:
      return v.s;
    case PVal::Kind::Int:
      return std::to_string(v.i);
    case PVal::Kind::None:
      return "None";
    case PVal::Kind::Bool:
      return v.i != 0 ? "True" : "False";
    case PVal::Kind::Tuple:
      return "a tuple";
    case PVal::Kind::Storage:
      return "a storage";
    case PVal::Kind::Tensor:
      return "a tensor";
    case PVal::Kind::Dict:
      return "a dict";
  }
  return "?";
}

class Unpickler {
 public:
  Unpickler(const uint8_t* p, size_t n) : p_(p), n_(n) {}

  std::vector<NamedTensor> run() {
    while (pos_ < n_) {
      const uint8_t op = p_[pos_++];
      if (op == '.') break;
      step(op);
    }
    return std::move(named_);
  }

 private:
  const uint8_t* take(size_t k) {
    if (n_ - pos_ < k) throw std::runtime_error("teeth: pickle truncated");
    const uint8_t* at = p_ + pos_;
    pos_ += k;
    return at;
  }

  std::string line() {
    const void* nl = std::memchr(p_ + pos_, '\n', n_ - pos_);
    if (nl == nullptr) throw std::runtime_error("teeth: pickle truncated");
    const size_t len = static_cast<size_t>(static_cast<const uint8_t*>(nl) - (p_ + pos_));
    std::string s(reinterpret_cast<const char*>(p_ + pos_), len);
    pos_ += len + 1;
    return s;
  }

  PVal pop(const char* op) {
    if (stack_.empty()) throw std::runtime_error(std::string("teeth: pickle ") + op + " pops an empty stack");
    PVal v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }

  // Everything above the last mark, which is removed.
  std::vector<PVal> popToMark(const char* op) {
    if (marks_.empty()) throw std::runtime_error(std::string("teeth: pickle ") + op + " without a MARK");
    const size_t m = marks_.back();
    marks_.pop_back();
    if (m > stack_.size()) throw std::runtime_error(std::string("teeth: pickle ") + op + " pops an empty stack");
    std::vector<PVal> out(std::make_move_iterator(stack_.begin() + static_cast<std::ptrdiff_t>(m)),
                          std::make_move_iterator(stack_.end()));
    stack_.resize(m);
    return out;
  }

  static PVal tupleOf(std::vector<PVal> items) {
    PVal t;
    t.kind = PVal::Kind::Tuple;
    t.tuple = std::make_shared<const std::vector<PVal>>(std::move(items));
    return t;
  }

  static PVal intOf(int64_t i) {
    PVal v;
    v.kind = PVal::Kind::Int;
    v.i = i;
    return v;
  }

  void put(size_t index) {
    if (stack_.empty()) throw std::runtime_error("teeth: pickle BINPUT of an empty stack");
    // Memo indices count the values put so far, so none can exceed the program's length; a larger
    // one would only make the memo allocate without bound.
    if (index > n_) throw std::runtime_error("teeth: pickle memo index out of range");
    if (memo_.size() <= index) memo_.resize(index + 1);
    memo_[index] = stack_.back();
  }

  void get(size_t index, const char* err) {
    if (index >= memo_.size()) throw std::runtime_error(err);
    stack_.push_back(memo_[index]);
  }

  void nameTensor(const PVal& key, const PVal& value) {
    if (key.kind != PVal::Kind::Str || value.kind != PVal::Kind::Tensor) return;
    named_.push_back({key.s, value.s, value.i, value.sizes});
  }

  void persistentId() {
    const PVal id = pop("BINPERSID");
    if (id.kind != PVal::Kind::Tuple || id.tuple->size() < 5 || (*id.tuple)[0].kind != PVal::Kind::Str ||
        (*id.tuple)[0].s != "storage") {
      throw std::runtime_error("teeth: unexpected persistent id in head .pt");
    }
    const PVal& type = (*id.tuple)[1];
    if (type.kind != PVal::Kind::Global || type.s != "torch FloatStorage") {
      throw std::runtime_error("teeth: head .pt storage is " + textOf(type) +
                               ", not torch FloatStorage — refusing to reinterpret it");
    }
    // torch names its storages by string keys, the names of their archive entries.
    if ((*id.tuple)[2].kind != PVal::Kind::Str) throw std::runtime_error("teeth: unexpected persistent id in head .pt");
    PVal storage;
    storage.kind = PVal::Kind::Storage;
    storage.s = (*id.tuple)[2].s;
    stack_.push_back(std::move(storage));
  }

  void reduce() {
    const PVal args = pop("REDUCE");
    const PVal callable = pop("REDUCE");
    if (callable.kind == PVal::Kind::Global && callable.s == "collections OrderedDict") {
      PVal d;
      d.kind = PVal::Kind::Dict;
      stack_.push_back(std::move(d));
      return;
    }
    if (callable.kind == PVal::Kind::Global && callable.s == "torch._utils _rebuild_tensor_v2") {
      if (args.kind != PVal::Kind::Tuple || args.tuple->size() < 4) {
        throw std::runtime_error("teeth: malformed _rebuild_tensor_v2");
      }
      const auto& a = *args.tuple;
      if (a[0].kind != PVal::Kind::Storage || a[1].kind != PVal::Kind::Int || a[2].kind != PVal::Kind::Tuple) {
        throw std::runtime_error("teeth: malformed _rebuild_tensor_v2");
      }
      PVal t;
      t.kind = PVal::Kind::Tensor;
      t.s = a[0].s;
      t.i = a[1].i;
      for (const PVal& d : *a[2].tuple) {
        if (d.kind != PVal::Kind::Int) throw std::runtime_error("teeth: malformed _rebuild_tensor_v2");
        t.sizes.push_back(d.i);
      }
      stack_.push_back(std::move(t));
      return;
    }
    throw std::runtime_error("teeth: head .pt calls " + textOf(callable) +
                             " — this reader refuses code it does not model");
  }

  void step(uint8_t op) {
    switch (op) {
      case 0x80:
        take(1);
        break;  // PROTO
      case '(':
        marks_.push_back(stack_.size());
        break;
      case ')':
        stack_.push_back(tupleOf({}));
        break;
      case '}': {
        PVal d;
        d.kind = PVal::Kind::Dict;
        stack_.push_back(std::move(d));
        break;
      }
      case 'N':
        stack_.emplace_back();
        break;
      case 0x88:
      case 0x89: {
        PVal b;
        b.kind = PVal::Kind::Bool;
        b.i = op == 0x88 ? 1 : 0;
        stack_.push_back(std::move(b));
        break;
      }
      case 'J':
        stack_.push_back(intOf(static_cast<int32_t>(u32(take(4)))));
        break;
      case 'K':
        stack_.push_back(intOf(*take(1)));
        break;
      case 'M':
        stack_.push_back(intOf(u16(take(2))));
        break;
      case 'X': {
        const size_t len = u32(take(4));
        const uint8_t* s = take(len);
        PVal v;
        v.kind = PVal::Kind::Str;
        v.s.assign(reinterpret_cast<const char*>(s), len);
        stack_.push_back(std::move(v));
        break;
      }
      case 'c': {
        PVal g;
        g.kind = PVal::Kind::Global;
        g.s = line();
        g.s += ' ';
        g.s += line();
        stack_.push_back(std::move(g));
        break;
      }
      case 't':
        stack_.push_back(tupleOf(popToMark("TUPLE")));
        break;
      case 0x85:
      case 0x86:
      case 0x87: {
        const size_t k = op - 0x84u;
        if (stack_.size() < k)
          throw std::runtime_error("teeth: pickle TUPLE" + std::to_string(k) + " pops an empty stack");
        std::vector<PVal> items(std::make_move_iterator(stack_.end() - static_cast<std::ptrdiff_t>(k)),
                                std::make_move_iterator(stack_.end()));
        stack_.resize(stack_.size() - k);
        stack_.push_back(tupleOf(std::move(items)));
        break;
      }
      case 'q':
        put(*take(1));
        break;
      case 'r':
        put(u32(take(4)));
        break;
      case 'h':
        get(*take(1), "teeth: pickle BINGET out of range");
        break;
      case 'j':
        get(u32(take(4)), "teeth: pickle LONG_BINGET out of range");
        break;
      case 'Q':
        persistentId();
        break;
      case 'R':
        reduce();
        break;
      case 's': {
        const PVal value = pop("SETITEM");
        const PVal key = pop("SETITEM");
        nameTensor(key, value);
        break;
      }
      case 'u': {
        const std::vector<PVal> items = popToMark("SETITEMS");
        for (size_t k = 0; k + 1 < items.size(); k += 2) nameTensor(items[k], items[k + 1]);
        break;
      }
      case 'b':
        break;  // BUILD: the state it would set (the dict's _metadata) is not used
      default: {
        static const char* hex = "0123456789abcdef";
        const std::string code{hex[op >> 4], hex[op & 15]};
        throw std::runtime_error("teeth: unsupported pickle opcode 0x" + code + " in head .pt");
      }
    }
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  std::vector<PVal> stack_;
  std::vector<size_t> marks_;
  std::vector<PVal> memo_;
  std::vector<NamedTensor> named_;
};

// ---- From named tensors to weights ---------------------------------------------------------------

std::string joinSizes(const std::vector<int64_t>& sizes) {
  std::string s;
  for (size_t i = 0; i < sizes.size(); ++i) {
    if (i > 0) s += ", ";
    s += std::to_string(sizes[i]);
  }
  return s;
}

std::vector<float> loadTensor(const std::vector<uint8_t>& bytes, const std::vector<ZipEntry>& entries,
                              const std::vector<NamedTensor>& named, const std::string& name,
                              const std::vector<int64_t>& shape) {
  const NamedTensor* t = nullptr;
  size_t count = 0;
  for (const NamedTensor& n : named) {
    if (n.name != name) continue;
    if (t == nullptr) t = &n;
    ++count;
  }
  if (t == nullptr) throw std::runtime_error("teeth: head .pt lacks '" + name + "'");
  if (count > 1) {
    throw std::runtime_error("teeth: head .pt names '" + name + "' " + std::to_string(count) + " times — ambiguous");
  }
  if (t->sizes != shape) {
    throw std::runtime_error("teeth: head '" + name + "' has shape [" + joinSizes(t->sizes) +
                             "] — not the BlendHead(16) arch");
  }
  const ZipEntry* storage = nullptr;
  for (const ZipEntry& e : entries) {
    if (endsWith(e.name, "/data/" + t->key)) {
      storage = &e;
      break;
    }
  }
  if (storage == nullptr) throw std::runtime_error("teeth: head storage " + t->key + " missing");
  size_t elems = 1;
  for (const int64_t d : shape) elems *= static_cast<size_t>(d);
  // The shape is one of the fixed ones, so only the offset can be hostile.
  if (t->offset < 0 || static_cast<uint64_t>(t->offset) > storage->size / 4 ||
      storage->size / 4 - static_cast<size_t>(t->offset) < elems) {
    throw std::runtime_error("teeth: head storage " + t->key + " too small");
  }
  std::vector<float> out(elems);
  std::memcpy(out.data(), bytes.data() + storage->offset + 4 * static_cast<size_t>(t->offset), 4 * elems);
  return out;
}

}  // namespace

size_t HeadWeights::params() const {
  return cand0_w.size() + cand0_b.size() + cand2_w.size() + cand2_b.size() + cand4_w.size() + cand4_b.size() +
         syn0_w.size() + syn0_b.size() + syn2_w.size() + syn2_b.size();
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  static_assert(sizeof(float) == 4, "float32 storages are copied as they lie");
  const std::vector<ZipEntry> entries = zipEntries(bytes);
  const ZipEntry* pkl = nullptr;
  for (const ZipEntry& e : entries) {
    if (e.name.size() > 8 && endsWith(e.name, "/data.pkl")) pkl = &e;
  }
  if (pkl == nullptr) throw std::runtime_error("teeth: head .pt has no data.pkl");
  const std::vector<NamedTensor> named = Unpickler(bytes.data() + pkl->offset, pkl->size).run();
  if (named.empty()) throw std::runtime_error("teeth: head .pt state_dict is empty");

  auto load = [&](const std::string& name, std::vector<int64_t> shape) {
    return loadTensor(bytes, entries, named, name, shape);
  };
  HeadWeights w;
  w.cand0_w = load("cand.0.weight", {16, 7, 3, 3});
  w.cand0_b = load("cand.0.bias", {16});
  w.cand2_w = load("cand.2.weight", {16, 16, 3, 3});
  w.cand2_b = load("cand.2.bias", {16});
  w.cand4_w = load("cand.4.weight", {1, 16, 3, 3});
  w.cand4_b = load("cand.4.bias", {1});
  bool synthesis = false;
  for (const NamedTensor& t : named) {
    synthesis = synthesis || t.name == "syn.0.weight" || t.name == "syn.0.bias" || t.name == "syn.2.weight" ||
                t.name == "syn.2.bias";
  }
  if (synthesis) {
    w.syn0_w = load("syn.0.weight", {16, 3, 3, 3});
    w.syn0_b = load("syn.0.bias", {16});
    w.syn2_w = load("syn.2.weight", {1, 16, 3, 3});
    w.syn2_b = load("syn.2.bias", {1});
  }
  const size_t params = w.params();
  if (params != HeadWeights::kParamsBlendHead && params != HeadWeights::kParamsBlendHead8) {
    throw std::runtime_error("teeth: head has " + std::to_string(params) +
                             " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  }
  return w;
}

}  // namespace vesk::tessera
