// The operator frame shared by the library's three namespaces: registration
// blocks with fixed source locations, and the element-type dispatch.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <ATen/ATen.h>
#include <c10/util/Exception.h>
#include <torch/library.h>

namespace varekpt {

// Schemas are defined without tags.
inline const std::vector<at::Tag> kNoTags;

// A registration block that defines a namespace's schemas. The file and line
// are what the dispatcher reports as the block's origin.
inline torch::detail::TorchLibraryInit def_block(const char* ns,
                                                 void (*init)(torch::Library&),
                                                 const char* file, uint32_t line) {
  return {torch::Library::DEF, init, ns, c10::nullopt, file, line};
}

// A registration block that registers one implementation under a dispatch key.
inline torch::detail::TorchLibraryInit impl_block(const char* ns, c10::DispatchKey key,
                                                  void (*init)(torch::Library&),
                                                  const char* file, uint32_t line) {
  return {torch::Library::IMPL, init, ns, key, file, line};
}

// Selects the worker instantiation for the element type of `designated`:
// calls fn(float{}) or fn(double{}). Any other element type raises
// c10::NotImplementedError naming the worker, located at file:line.
template <typename Fn>
void dispatch_floating(const at::Tensor& designated, const char* worker, const char* file,
                       uint32_t line, Fn&& fn) {
  switch (designated.scalar_type()) {
    case at::ScalarType::Float:
      std::forward<Fn>(fn)(float{});
      return;
    case at::ScalarType::Double:
      std::forward<Fn>(fn)(double{});
      return;
    default:
      throw c10::NotImplementedError(
          c10::SourceLocation{"operator()", file, line},
          std::string("\"") + worker + "\" not implemented for '" +
              c10::toString(designated.scalar_type()) + "'");
  }
}

}  // namespace varekpt
