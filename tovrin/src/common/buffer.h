// Doubles of storage that the system commits page by page as they are
// first written: for a call's workspace, sized once for the largest case,
// of which the rounds may use only a part.  (A value-initialised
// std::vector writes, and so commits, every page of it.)
#ifndef TOVRIN_BUFFER_H
#define TOVRIN_BUFFER_H

#include <cstddef>
#include <memory>

namespace tovrin {

class Buffer {
 public:
  // size doubles, their values indeterminate until written.
  explicit Buffer(std::size_t size) : data_(new double[size]), size_(size) {}

  double* data() { return data_.get(); }
  const double* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  double& operator[](std::size_t i) { return data_[i]; }
  double operator[](std::size_t i) const { return data_[i]; }

 private:
  std::unique_ptr<double[]> data_;
  std::size_t size_;
};

}  // namespace tovrin

#endif  // TOVRIN_BUFFER_H
