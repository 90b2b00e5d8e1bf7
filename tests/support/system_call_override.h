// Swaps one entry of the system-call seam for the life of a scope.
#pragma once

#include "common/system_calls.h"

template <typename Function>
class SystemCallOverride {
 public:
  SystemCallOverride(Function& entry, Function replacement) : entry_(entry), saved_(entry) { entry_ = replacement; }
  ~SystemCallOverride() { entry_ = saved_; }
  SystemCallOverride(const SystemCallOverride&) = delete;
  SystemCallOverride& operator=(const SystemCallOverride&) = delete;

 private:
  Function& entry_;
  Function saved_;
};
