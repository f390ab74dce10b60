// A buffer that an object exports for as long as this lives. While it is exported a bytearray
// or an array refuses to be resized, so Python code run meanwhile cannot move the bytes.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>

namespace velmo {

class ExportedBuffer {
  public:
    ExportedBuffer(nanobind::handle object, int flags) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags) < 0)
            throw nanobind::python_error();
    }
    ~ExportedBuffer() { PyBuffer_Release(&view_); }
    ExportedBuffer(const ExportedBuffer &) = delete;
    ExportedBuffer &operator=(const ExportedBuffer &) = delete;

    template <typename T = const uint8_t> T *data() const { return static_cast<T *>(view_.buf); }
    // In bytes.
    size_t size() const { return static_cast<size_t>(view_.len); }
    const Py_buffer &view() const { return view_; }

  private:
    Py_buffer view_;
};

} // namespace velmo
