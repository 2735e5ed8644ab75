#include "audio/vesk_motion_net.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace vesk {

namespace {

// The shape to bind a port with: the declared one when it is static (and then it must hold exactly
// `count` values), otherwise the declared rank with the first free dimension taking what the fixed
// ones leave.
std::vector<int64_t> bindShape(const std::string& path, const char* kind, const std::string& name,
                               std::vector<int64_t> shape, size_t count) {
  int64_t fixed = 1;
  int firstFree = -1;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] > 0) {
      fixed *= shape[i];
    } else if (firstFree < 0) {
      firstFree = static_cast<int>(i);
    }
  }
  const auto want = static_cast<int64_t>(count);
  if (firstFree < 0) {
    if (fixed != want)
      throw std::runtime_error(path + ": " + kind + " '" + name + "' holds " + std::to_string(fixed) +
                               " values, expected " + std::to_string(want));
    return shape;
  }
  if (want % fixed != 0)
    throw std::runtime_error(path + ": " + kind + " '" + name + "' cannot hold " + std::to_string(want) + " values");
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] <= 0) shape[i] = static_cast<int>(i) == firstFree ? want / fixed : 1;
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

void Net::open(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options,
               const std::vector<size_t>& inCounts, const std::vector<size_t>& outCounts,
               const std::vector<std::string>& inNames, const std::vector<std::string>& outNames) {
  path_ = path;
  // Opening from a missing path makes ONNX Runtime say little; say which file it is.
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
  } else {
    throw std::runtime_error("cannot open " + path);
  }
  session_ = std::make_unique<Ort::Session>(env, path.c_str(), options);
  // Named outputs are picked out of whatever else the model also gives; inputs must all be fed.
  const size_t nOut = session_->GetOutputCount();
  if (session_->GetInputCount() != inCounts.size() || nOut < outCounts.size() ||
      (outNames.empty() && nOut != outCounts.size()))
    throw std::runtime_error(path + ": " + std::to_string(session_->GetInputCount()) + " inputs and " +
                             std::to_string(session_->GetOutputCount()) + " outputs, expected " +
                             std::to_string(inCounts.size()) + " and " + std::to_string(outCounts.size()));
  mem_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  auto bindAll = [&](bool input, const std::vector<size_t>& counts, const std::vector<std::string>& names,
                     std::vector<Port>& ports, std::vector<Ort::Value>& values, std::vector<const char*>& ptrs) {
    Ort::AllocatorWithDefaultOptions alloc;
    std::vector<std::string> modelNames(input ? counts.size() : nOut);
    for (size_t i = 0; i < modelNames.size(); ++i)
      modelNames[i] = input ? session_->GetInputNameAllocated(i, alloc).get() : session_->GetOutputNameAllocated(i, alloc).get();
    ports.assign(counts.size(), Port{});
    for (size_t i = 0; i < counts.size(); ++i) {
      size_t at = i;
      if (!names.empty()) {
        // Named ports are bound in the caller's order, whatever order the model lists them in.
        at = static_cast<size_t>(std::find(modelNames.begin(), modelNames.end(), names[i]) - modelNames.begin());
        if (at == modelNames.size())
          throw std::runtime_error(path + ": no " + (input ? "input" : "output") + " named '" + names[i] + "'");
      }
      describe(*session_, input, at, path, ports[i]);
      Port& p = ports[i];
      p.shape = bindShape(path, input ? "input" : "output", p.name, p.shape, counts[i]);
      p.data.assign(counts[i], 0.0f);
    }
    values.clear();
    ptrs.clear();
    for (Port& p : ports) {
      values.push_back(Ort::Value::CreateTensor<float>(mem_, p.data.data(), p.data.size(), p.shape.data(), p.shape.size()));
      ptrs.push_back(p.name.c_str());
    }
  };
  bindAll(true, inCounts, inNames, inputs_, inValues_, inNamePtrs_);
  bindAll(false, outCounts, outNames, outputs_, outValues_, outNamePtrs_);
}

void Net::run() {
  const auto t0 = std::chrono::steady_clock::now();
  session_->Run(runOptions_, inNamePtrs_.data(), inValues_.data(), inValues_.size(), outNamePtrs_.data(),
                outValues_.data(), outValues_.size());
  runSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ++runs_;
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
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return "float32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return "float16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16: return "bfloat16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return "float64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return "int8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return "uint8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return "int64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return "bool";
    default: return "element type " + std::to_string(static_cast<int>(type));
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
