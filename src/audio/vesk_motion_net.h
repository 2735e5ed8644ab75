// One ONNX Runtime session with every input and output bound to a fixed float buffer, shared by the
// motion and fca models: buffers are sized once at open, so a run allocates nothing on our side
// (an output declared with free dimensions is bound once the first run has shown its shape).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vesk/vesk.h"

namespace vesk {

class Net {
 public:
  struct Port {
    std::string name;
    std::vector<int64_t> shape;
    std::vector<float> data;
    bool unbound = false;  // an output the runtime allocates until a run has shown its shape
  };

  // Opens the model at path and binds its ports: in the model's order, or, where names are given,
  // port i is the one of that name. Input i is fed with inShapes[i], the shape the model's contract
  // states; a model that declares the input fully static is fed its own shape, which must hold as
  // many values, and one with free dimensions must match the contract's rank and static sizes.
  // Output i must give outCounts[i] floats, in whatever layout. A model with other port counts, other
  // names, non-float ports or shapes that do not fit is refused; with output names given, further
  // outputs of the model are left out of the run.
  void open(const std::string& path, const Ort::SessionOptions& options,
            const std::vector<std::vector<int64_t>>& inShapes, const std::vector<size_t>& outCounts,
            const std::vector<std::string>& inNames = {}, const std::vector<std::string>& outNames = {});

  bool isOpen() const { return session_ != nullptr; }
  float* in(size_t i) { return inputs_[i].data.data(); }
  const float* out(size_t i) const { return outputs_[i].data.data(); }
  const Port& inputPort(size_t i) const { return inputs_[i]; }
  const Port& outputPort(size_t i) const { return outputs_[i]; }

  // Runs the session on the bound buffers; an unbound output is checked (float32, its count), copied
  // to its buffer and bound with the shape it came in.
  void run();
  // The same with input i read from data (as many floats as its buffer holds) instead of its buffer,
  // for an input that already lies elsewhere; the runtime only reads it.
  void runWith(size_t i, const float* data);

  // Total time spent inside Session::Run since open, in seconds, and the number of runs.
  double runSeconds() const { return runSeconds_; }
  int64_t runs() const { return runs_; }

 private:
  std::string path_;
  std::unique_ptr<Ort::Session> session_;
  Ort::RunOptions runOptions_;
  Ort::MemoryInfo mem_{nullptr};
  std::vector<Port> inputs_, outputs_;
  std::vector<Ort::Value> inValues_, outValues_;
  std::vector<const char*> inNamePtrs_, outNamePtrs_;
  bool unboundOutputs_ = false;
  double runSeconds_ = 0;
  int64_t runs_ = 0;
};

// The name of a tensor element type as messages give it ("float32", "float16", "float64", ...).
std::string elementTypeName(ONNXTensorElementDataType type);

// The floats of a tensor the runtime gave back, once it is known to hold exactly `count` 32-bit
// floats: otherwise what + " is float16, not float32" or what + " holds N values, expected M".
const float* checkedFloats(const Ort::Value& value, size_t count, const std::string& what);

// Raw little-endian 32-bit floats of a file, exactly `expected` of them: "cannot open " + path,
// "short read " + path, or path + ": " + count + " floats, expected " + expected.
std::vector<float> readFloatFile(const std::string& path, size_t expected);

// A file's whole text; "cannot open " + path.
std::string readTextFile(const std::string& path);

}  // namespace vesk
