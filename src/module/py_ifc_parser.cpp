// IfcParser: a data-less class whose one static method reads IFC text.
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"
#include "ifc/ifc_reader.h"

#include <array>
#include <string_view>

namespace kovalith::py {
namespace {

struct NoValue {};

constexpr std::array<const char*, 1> parse_names = {"ifc_content"};

// The UTF-8 form of a str argument, valid for the call. An ASCII str is its
// own UTF-8 and is read in place; any other str is encoded into a temporary
// bytes object that dies with the call, rather than into the UTF-8 cache
// that the interpreter would keep on the caller's (possibly huge) str.
struct Utf8Text {
  std::string_view text;
  PyRef holder;
};

bool to_utf8_text(PyObject* obj, Utf8Text& out) noexcept {
  if (!PyUnicode_Check(obj)) return wrong_type(obj, "str");
  if (PyUnicode_IS_COMPACT_ASCII(obj)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out.text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  out.holder = PyRef::steal(PyUnicode_AsUTF8String(obj));
  if (!out.holder) return false;
  out.text = std::string_view(PyBytes_AS_STRING(out.holder.get()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(out.holder.get())));
  return true;
}

PyObject* parse_ifc_points_and_faces_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> a;
    if (!match("parse_ifc_points_and_faces", parse_names, args, nargs, kwnames, a)) {
      return nullptr;
    }
    Utf8Text text;
    if (!convert_argument(&to_utf8_text, a[0], text, "ifc_content")) return nullptr;
    Interrupt stop = python_interrupt();
    auto mesh = kovalith::parse_ifc_points_and_faces(text.text, &stop);
    if (!mesh) return raise_error(mesh.error());
    return new_mesh(std::move(*mesh));
  });
}

PyMethodDef ifc_parser_methods[] = {
    {"parse_ifc_points_and_faces", as_cfunction(parse_ifc_points_and_faces_method),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse_ifc_points_and_faces(ifc_content)\n--\n\n"
     "Extracts coordinate data and creates a compiled Mesh from raw IFC text streams."},
    {},
};

PyType_Slot ifc_parser_slots[] = {
    {Py_tp_doc, const_cast<char*>("The native IFC parser engine, parsing points and wire loops in "
                                  "linear time.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<NoValue>)},
    {Py_tp_methods, ifc_parser_methods},
    {},
};

}  // namespace

PyType_Spec ifc_parser_spec = {
    "builtins.IfcParser", sizeof(Instance<NoValue>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ifc_parser_slots,
};

}  // namespace kovalith::py
