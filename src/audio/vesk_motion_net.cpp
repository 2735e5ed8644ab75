#include "audio/vesk_motion_net.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "core/vesk_ort.h"

namespace vesk {

namespace {

std::string dims(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) s += (i > 0 ? ", " : "") + (shape[i] > 0 ? std::to_string(shape[i]) : "?");
  return s + "]";
}

int64_t product(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

bool isStatic(const std::vector<int64_t>& shape) {
  return std::all_of(shape.begin(), shape.end(), [](int64_t d) { return d > 0; });
}

// The shape to feed an input with: the declared one when it is static (it must hold as many values
// as the contract's), else the declared rank with the contract's sizes in its free dimensions.
std::vector<int64_t> inputShape(const std::string& path, const std::string& name, const std::vector<int64_t>& declared,
                                const std::vector<int64_t>& contract) {
  const int64_t want = product(contract);
  if (isStatic(declared)) {
    if (product(declared) != want)
      throw std::runtime_error(path + ": input '" + name + "' holds " + std::to_string(product(declared)) +
                               " values, expected " + std::to_string(want));
    return declared;
  }
  std::vector<int64_t> shape = declared;
  bool fits = declared.size() == contract.size();
  for (size_t i = 0; fits && i < shape.size(); ++i)
    if (shape[i] <= 0) shape[i] = contract[i];
  fits = fits && product(shape) == want;
  if (!fits)
    throw std::runtime_error(path + ": input '" + name + "' declared " + dims(declared) + " cannot be fed " +
                             dims(contract));
  return shape;
}

void describe(Ort::Session& s, bool input, size_t i, const std::string& path, Net::Port& port) {
  Ort::AllocatorWithDefaultOptions alloc;
  port.name = input ? s.GetInputNameAllocated(i, alloc).get() : s.GetOutputNameAllocated(i, alloc).get();
  const Ort::TypeInfo ti = input ? s.GetInputTypeInfo(i) : s.GetOutputTypeInfo(i);
  if (ti.GetONNXType() != ONNX_TYPE_TENSOR)
    throw std::runtime_error(path + ": " + (input ? "input" : "output") + " '" + port.name + "' is not a tensor");
  const auto info = ti.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error(path + ": " + (input ? "input" : "output") + " '" + port.name + "' is not float32");
  port.shape = info.GetShape();
}

}  // namespace

void Net::open(const std::string& path, const Ort::SessionOptions& options,
               const std::vector<std::vector<int64_t>>& inShapes, const std::vector<size_t>& outCounts,
               const std::vector<std::string>& inNames, const std::vector<std::string>& outNames) {
  path_ = path;
  // Opening from a missing path makes ONNX Runtime say little; say which file it is.
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
  } else {
    throw std::runtime_error("cannot open " + path);
  }
  session_ = std::make_unique<Ort::Session>(ort::env(), path.c_str(), options);
  // Named outputs are picked out of whatever else the model also gives; inputs must all be fed.
  const size_t nOut = session_->GetOutputCount();
  if (session_->GetInputCount() != inShapes.size() || nOut < outCounts.size() ||
      (outNames.empty() && nOut != outCounts.size()))
    throw std::runtime_error(path + ": " + std::to_string(session_->GetInputCount()) + " inputs and " +
                             std::to_string(session_->GetOutputCount()) + " outputs, expected " +
                             std::to_string(inShapes.size()) + " and " + std::to_string(outCounts.size()));
  mem_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  unboundOutputs_ = false;
  auto bindAll = [&](bool input, size_t count, const std::vector<std::string>& names, std::vector<Port>& ports,
                     std::vector<Ort::Value>& values, std::vector<const char*>& ptrs) {
    Ort::AllocatorWithDefaultOptions alloc;
    std::vector<std::string> modelNames(input ? count : nOut);
    for (size_t i = 0; i < modelNames.size(); ++i)
      modelNames[i] = input ? session_->GetInputNameAllocated(i, alloc).get() : session_->GetOutputNameAllocated(i, alloc).get();
    ports.assign(count, Port{});
    for (size_t i = 0; i < count; ++i) {
      size_t at = i;
      if (!names.empty()) {
        // Named ports are bound in the caller's order, whatever order the model lists them in.
        at = static_cast<size_t>(std::find(modelNames.begin(), modelNames.end(), names[i]) - modelNames.begin());
        if (at == modelNames.size())
          throw std::runtime_error(path + ": no " + (input ? "input" : "output") + " named '" + names[i] + "'");
      }
      describe(*session_, input, at, path, ports[i]);
      Port& p = ports[i];
      if (input) {
        p.shape = inputShape(path, p.name, p.shape, inShapes[i]);
        p.data.assign(static_cast<size_t>(product(p.shape)), 0.0f);
      } else {
        // An output with free dimensions is left to the runtime until its shape is known.
        const auto want = static_cast<int64_t>(outCounts[i]);
        if (isStatic(p.shape) && product(p.shape) != want)
          throw std::runtime_error(path + ": output '" + p.name + "' holds " + std::to_string(product(p.shape)) +
                                   " values, expected " + std::to_string(want));
        p.unbound = !isStatic(p.shape);
        unboundOutputs_ = unboundOutputs_ || p.unbound;
        p.data.assign(outCounts[i], 0.0f);
      }
    }
    values.clear();
    ptrs.clear();
    for (Port& p : ports) {
      if (p.unbound) {
        values.emplace_back(nullptr);
      } else {
        values.push_back(
            Ort::Value::CreateTensor<float>(mem_, p.data.data(), p.data.size(), p.shape.data(), p.shape.size()));
      }
      ptrs.push_back(p.name.c_str());
    }
  };
  bindAll(true, inShapes.size(), inNames, inputs_, inValues_, inNamePtrs_);
  bindAll(false, outCounts.size(), outNames, outputs_, outValues_, outNamePtrs_);
}

void Net::run() {
  const auto t0 = std::chrono::steady_clock::now();
  session_->Run(runOptions_, inNamePtrs_.data(), inValues_.data(), inValues_.size(), outNamePtrs_.data(),
                outValues_.data(), outValues_.size());
  runSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ++runs_;
  if (unboundOutputs_) {
    for (size_t i = 0; i < outputs_.size(); ++i) {
      Port& p = outputs_[i];
      if (!p.unbound) continue;
      const float* got = checkedFloats(outValues_[i], p.data.size(), path_ + ": output '" + p.name + "'");
      std::copy(got, got + p.data.size(), p.data.begin());
      p.shape = outValues_[i].GetTensorTypeAndShapeInfo().GetShape();
      outValues_[i] =
          Ort::Value::CreateTensor<float>(mem_, p.data.data(), p.data.size(), p.shape.data(), p.shape.size());
      p.unbound = false;
    }
    unboundOutputs_ = false;
  }
}

void Net::runWith(size_t i, const float* data) {
  const Port& p = inputs_.at(i);
  Ort::Value v = Ort::Value::CreateTensor<float>(mem_, const_cast<float*>(data), p.data.size(), p.shape.data(),
                                                 p.shape.size());
  std::swap(inValues_[i], v);
  try {
    run();
  } catch (...) {
    std::swap(inValues_[i], v);
    throw;
  }
  std::swap(inValues_[i], v);
}

std::string elementTypeName(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
      return "float32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
      return "float16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
      return "bfloat16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE:
      return "float64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8:
      return "int8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
      return "uint8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
      return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64:
      return "int64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL:
      return "bool";
    default:
      return "element type " + std::to_string(static_cast<int>(type));
  }
}

const float* checkedFloats(const Ort::Value& value, size_t count, const std::string& what) {
  if (!value.IsTensor()) throw std::runtime_error(what + " is not a tensor");
  const Ort::TensorTypeAndShapeInfo info = value.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error(what + " is " + elementTypeName(info.GetElementType()) + ", not float32");
  if (info.GetElementCount() != count)
    throw std::runtime_error(what + " holds " + std::to_string(info.GetElementCount()) + " values, expected " +
                             std::to_string(count));
  return value.GetTensorData<float>();
}

std::vector<float> readFloatFile(const std::string& path, size_t expected) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  if (std::fseek(f.get(), 0, SEEK_END) != 0) throw std::runtime_error("short read " + path);
  const long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) throw std::runtime_error("short read " + path);
  if (size % 4 != 0) throw std::runtime_error("short read " + path);
  const auto count = static_cast<size_t>(size) / 4;
  if (count != expected)
    throw std::runtime_error(path + ": " + std::to_string(count) + " floats, expected " + std::to_string(expected));
  std::vector<float> v(expected);
  if (expected > 0 && std::fread(v.data(), 4, expected, f.get()) != expected)
    throw std::runtime_error("short read " + path);
  return v;
}

std::string readTextFile(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) s.append(buf, n);
  if (std::ferror(f.get())) throw std::runtime_error("short read " + path);
  return s;
}

}  // namespace vesk
